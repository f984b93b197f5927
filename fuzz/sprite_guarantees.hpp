// The sprite mesher's guarantees, checked in exact arithmetic on a finished
// mesh (the C++ counterpart of tests/mesh_checks.py, for the fuzzer and the
// C++ tests). Coordinates are taken as the exact rationals their doubles
// are; orientation signs and distance comparisons are decided in floating
// point only where an error bound proves the sign, else with GMP rationals,
// and distances are compared squared (bounds with square roots are compared
// exactly too), so no slack can hide a fault.
//
// What is checked (mask frame: pixel (c, r) of the image is the unit square
// centred on (c + m, r + m), m = max(margin, 0)):
//   validity   sizes and indices; per part no triangle of zero area, all
//              triangles wound one way, and the boundary of the triangles
//              (edges that opposite edges do not cancel, vertices compared by
//              position) is exactly the rings; rings of at least 3 points
//              that never cross or touch, themselves or each other; each
//              outer ring (signed area < 0) outside every other part's region
//              and each hole inside its own part's region only. Together:
//              the triangles cover the region of winding 1 exactly once.
//   coverage   every pixel of an island with at least min_island_area
//              pixels has its centre inside the triangles, and no boundary
//              edge comes nearer than `padding` to its square (with padding 0:
//              none enters it).
//   tolerance  no point of any ring lies further than tolerance + padding
//              from the opaque pixels (at padding 0 and a tolerance below it,
//              1/64 px / sqrt 2: the cut that joins pixels touching at a
//              corner).
//   budget     the rings' vertices of the whole sprite, or of each part, at
//              most max_vertices.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut::fuzz {

enum class BudgetRule {
    whole_sprite,  // every part's ring vertices together
    per_part,      // each part's on its own
};

struct GuaranteeChecks {
    bool validity = true;
    bool coverage = true;
    bool tolerance = true;
    bool budget = true;
    BudgetRule budget_rule = BudgetRule::whole_sprite;
};

// Every broken guarantee of `result`, the mesh of the image with alpha
// `alpha` (CV_8UC1, image frame) under `options`, one line each (a few of
// each kind are spelled out); empty when all hold.
std::vector<std::string> sprite_mesh_problems(const sprite::Result& result, const cv::Mat& alpha,
                                              const sprite::Options& options,
                                              const GuaranteeChecks& checks = {});

// Pixel counts of the 8-connected islands of `alpha > threshold` (a label
// image beside it, 0 for transparent pixels).
std::vector<int> island_sizes(const cv::Mat& alpha, int threshold, cv::Mat& labels);

}  // namespace vellumcut::fuzz
