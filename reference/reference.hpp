// Literal implementations kept beside the fast ones.
//
// Nothing here is reachable from the Python module: the benchmarks time these
// as the baseline, and the tests check that every fast path gives results
// identical to them. Each one does what the straightforward reading of the
// algorithm does (whole-outline walks through cv::pointPolygonTest, a scan of
// every kept sample, cv::findNonZero), so it stays easy to trust.
#pragma once

#include <string>

#include <opencv2/core.hpp>

#include <random>

#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/mesher.hpp"
#include "constrained_mesh/pipeline.hpp"
#include "earcut_mesh.hpp"

namespace vellumcut::reference {

// The mask loader as a chain of OpenCV calls: imread, extractChannel,
// copyMakeBorder, threshold.
void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale);

// Area floor from cv::findNonZero's first and last location.
double area_floor(const cv::Mat& mask);

// triangulate_png with the floor above.
EarcutResult triangulate_png(const std::string& path, float eps, int margin, float maxA);

// The constrained mesher with the centroid filter walking every ring point
// through cv::pointPolygonTest for every triangle.
Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra);

// The sampler's loop as first written: the active list a plain vector whose
// entries shift on removal, the neighbour test visiting the 5 x 5 cells column
// by column with a square root per occupied cell.
std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts,
                                             std::mt19937& engine);

// The sample filter: clearance, then cv::pointPolygonTest against the outer
// outline and each hole in turn, then a scan of every sample kept so far.
Loop keep_samples(const detail::PoissonRegion& region, const Loop& samples, float r);

// poisson_png from the literal pieces above and the literal mesher.
PoissonResult poisson_png(const std::string& path, float eps, int margin, int rpx,
                          std::mt19937& engine);

}  // namespace vellumcut::reference
