// poisson_png: the largest opaque island of an image, meshed with evenly
// spread interior vertices (Poisson-disk samples) by the constrained mesher.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "constrained_mesh/mesher.hpp"
#include "outline.hpp"

namespace vellumcut {

struct PoissonResult {
    Mesh mesh;  // outline points, retained hole points, kept samples (less duplicates)
    int w = 0;  // mask width, margin included
    int h = 0;  // mask height, margin included
    float scale = 1.0f;
};

// Which traced contours form the meshed region.
struct RegionChoice {
    int outer = 0;           // index of the contour with the largest area
    std::vector<int> holes;  // its direct children with area > 1.0, in sibling order
};

// Picks the contour of largest absolute area among all contours (outer and
// hole boundaries alike; the earliest of equal areas wins, contour 0 when all
// are 0) and its child contours whose area exceeds 1.0. `hierarchy` is
// OpenCV's (next, previous, first child, parent) per contour. Precondition:
// `contours` is not empty.
RegionChoice choose_region(const std::vector<std::vector<cv::Point>>& contours,
                           const std::vector<cv::Vec4i>& hierarchy);

// The points, in order, that are kept when each is compared with every point
// kept before it and dropped if its squared distance to one of them, computed
// in float, is below r * r. Fastest for points in [0, width) x [0, height).
Loop spaced_subset(const Loop& points, int width, int height, float r);

// Meshes the largest island of the image at `path` (a `margin`-pixel
// transparent border added) with Poisson-disk interior points `rpx` pixels
// apart that keep 1.5 * rpx clearance from the region's boundary. `eps` is
// accepted for call-compatibility with the other image functions and unused:
// the outline is the full traced pixel chain.
// Throws std::invalid_argument for rpx <= 0 or an rpx too small for the mask
// size, std::runtime_error for unreadable images, images without opaque
// pixels and degenerate outlines, cv::Exception when OpenCV refuses the mask.
PoissonResult poisson_png(const std::string& path, float eps, int margin, int rpx);

}  // namespace vellumcut
