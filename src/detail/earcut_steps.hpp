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

// Groups the traced contours (RETR_CCOMP hierarchy) above `floor` and
// ear-clips each outer boundary with its holes.
std::vector<EarcutGroup> mesh_traced(const std::vector<std::vector<cv::Point>>& contours,
                                     const std::vector<cv::Vec4i>& hierarchy, double floor,
                                     float eps);

}  // namespace vellumcut::detail
