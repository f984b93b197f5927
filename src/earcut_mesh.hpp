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

}  // namespace vellumcut
