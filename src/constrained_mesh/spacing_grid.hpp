// Minimum-spacing test for the Poisson filter through a uniform grid.
//
// The literal test scans every point kept so far and rejects a candidate p as
// soon as one kept q has (p.x - q.x)^2 + (p.y - q.y)^2 < s, every operation in
// single precision. Whether some q rejects p does not depend on the scan order,
// so any structure that visits every q that *can* reject p keeps exactly the
// same points. A computed squared distance below s implies |p.x - q.x| and
// |p.y - q.y| below sqrt(s) * (1 + 2^-22), so with cells a little wider than
// sqrt(s) every such q lies in the 3 x 3 cells around p's cell.
#pragma once

#include <vector>

#include "outline.hpp"

namespace vellumcut {

struct SpacingGrid {
    float s = 0.0f;              // squared spacing, compared exactly as the scan does
    bool linear = false;         // unusual s: plain scan over `points`
    double inv_cell = 0.0;       // 1 / cell size
    int cols = 0;
    int rows = 0;
    std::vector<int> head;       // first point of each cell, -1 when empty
    std::vector<int> next;       // next point in the same cell, -1 at the end
    std::vector<cv::Point2f> points;
};

// A grid for points expected in [0, width) x [0, height); points outside are
// still handled exactly (they fall into the border cells).
SpacingGrid make_spacing_grid(float s, int width, int height);

// True when no point added so far lies closer than the spacing, as the scan computes it.
bool spacing_ok(const SpacingGrid& grid, cv::Point2f p);

void spacing_add(SpacingGrid& grid, cv::Point2f p);

}  // namespace vellumcut
