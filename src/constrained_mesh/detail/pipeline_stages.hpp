// poisson_png's stages, for the literal reference that the benchmarks and
// tests compare against.
#pragma once

#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "constrained_mesh/pipeline.hpp"

namespace vellumcut::detail {

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

// As above with the caller's engine, so that a seeded run can be replayed.
PoissonResult poisson_png(const std::string& path, float eps, int margin, int rpx,
                          std::mt19937& engine, Stop& stop = no_stop());

// The clearance map of `region` (255 inside, 0 outside), equal to
// cv::distanceTransform(region, DIST_L2, DIST_MASK_3, CV_32F) on the whole
// map, computed only over `box` (the bounding box of the region's pixels)
// and a one-pixel ring around it.
cv::Mat region_clearance(const cv::Mat& region, const cv::Rect& box);

struct PoissonRegion {
    Loop outer;               // largest traced outline, as traced
    std::vector<Loop> holes;  // its retained holes, in sibling order
    cv::Mat clearance;        // CV_32F distance to the nearest pixel outside the region
    int w = 0;
    int h = 0;
    float scale = 1.0f;
};

// Everything before sampling: mask, tracing, region choice, region mask and
// clearance map. Validates rpx as poisson_png does.
PoissonRegion poisson_region(const std::string& path, int margin, int rpx);

// The samples kept by the filter, in sampler order: clearance of at least
// 1.5 r, inside or on the outer outline, strictly outside every hole, and no
// closer than r to an earlier kept sample (squared distance in float).
Loop keep_samples(const PoissonRegion& region, const Loop& samples, float r,
                  Stop& stop = no_stop());

}  // namespace vellumcut::detail
