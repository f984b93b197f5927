// poisson_png: the largest opaque island of an image, meshed with evenly
// spread interior vertices (Poisson-disk samples) by the constrained mesher.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "constrained_mesh/mesher.hpp"
#include "interrupt.hpp"
#include "outline.hpp"

namespace vellumcut {

struct PoissonResult {
    Mesh mesh;  // outline points, retained hole points, kept samples (less duplicates)
    int w = 0;  // mask width, margin included
    int h = 0;  // mask height, margin included
    float scale = 1.0f;
};

// Meshes the largest island of the image at `path` (a `margin`-pixel
// transparent border added) with Poisson-disk interior points `rpx` pixels
// apart that keep 1.5 * rpx clearance from the region's boundary. `eps` is
// accepted for call-compatibility with the other image functions and unused:
// the outline is the full traced pixel chain.
// Throws std::invalid_argument for rpx <= 0 or an rpx too small for the mask
// size, std::runtime_error for unreadable images, images without opaque
// pixels and degenerate outlines, cv::Exception when OpenCV refuses the mask.
// `stop` is polled every few milliseconds of work (sampling, filtering,
// meshing); Interrupted ends the call with nothing left running.
PoissonResult poisson_png(const std::string& path, float eps, int margin, int rpx,
                          Stop& stop = no_stop());

}  // namespace vellumcut
