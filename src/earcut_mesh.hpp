// Ear-clipping meshes of every opaque region of an alpha mask, holes included.
//
// Coordinates are alpha-mask pixel coordinates (x to the right, y downwards,
// margin included), exactly as traced; nothing is flipped or normalised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {

// One outer outline with the holes directly inside it, triangulated.
struct EarcutGroup {
    // Flat x0, y0, x1, y1, ...: the outer loop's points first (signed area
    // <= 0, counter-clockwise on screen), then each kept hole's points
    // (signed area >= 0).
    std::vector<double> v;
    // Three indices per triangle, counted from 0 within this group's points.
    std::vector<std::uint32_t> idx;
};

struct EarcutResult {
    std::vector<EarcutGroup> groups;
    int w = 0;
    int h = 0;
    float scale = 1.0f;
};

// Traces the opaque regions of the image at `path` (outer boundaries and their
// holes), drops outlines below an area floor derived from the extent of the
// opaque pixels, simplifies the rest with tolerance `eps` and ear-clips each
// outer boundary together with its holes. `maxA` is accepted for interface
// compatibility and has no effect. Throws std::runtime_error when the mask has
// no opaque pixel, besides the mask loader's own errors. `stop` is polled
// every few milliseconds; a group whose holes would keep earcut busy for
// long is ear-clipped in a child process, so that it too can be stopped.
EarcutResult triangulate_png(const std::string& path, float eps, int margin, float maxA,
                             Stop& stop = no_stop());

// The two steps of triangulate_png after tracing, exposed for the reference
// implementation that the benchmarks and tests compare against.
//
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

}  // namespace vellumcut
