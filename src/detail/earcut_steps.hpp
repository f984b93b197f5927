// The two steps of triangulate_png after tracing, for the literal reference
// that the benchmarks and tests compare against.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "earcut_mesh.hpp"

namespace vellumcut::detail {

// area_floor: 0.0005 x (dx * dy) from the first and last opaque pixel of the
// 8-bit mask in row-major order, found by scanning rows from the top and from
// the bottom. Throws std::runtime_error when the mask has no opaque pixel.
double area_floor(const cv::Mat& mask);

// earcut links each hole into the outer ring in turn, walking the whole ring
// as it stands each time, so its steps grow with holes x ring length. A
// group estimated at this many steps or more (a tenth of a second and up) is
// ear-clipped in a child process: earcut cannot be asked to stop, and the
// call must still end promptly when its caller stops it.
constexpr double kChildEarcutSteps = 3e7;

// Groups the traced contours (RETR_CCOMP hierarchy) above `floor` and
// ear-clips each outer boundary with its holes; groups of `child_steps` or
// more go to a child process (same indices either way).
std::vector<EarcutGroup> mesh_traced(const std::vector<std::vector<cv::Point>>& contours,
                                     const std::vector<cv::Vec4i>& hierarchy, double floor,
                                     float eps, Stop& stop = no_stop(),
                                     double child_steps = kChildEarcutSteps);

}  // namespace vellumcut::detail
