// Making a set of segments a valid planar straight-line graph before Triangle
// sees it.
//
// Triangle computes its own crossing points in plain floating point; the
// point it inserts lies a little off both segments, and with many rings
// crossing near one another it can loop forever, recurse until the stack
// runs out or follow a null pointer. Here every crossing, collinear overlap
// and point lying inside a segment is found with exact orientation tests and
// the segments are split there, so the library only ever inserts segments
// that meet at shared end points.
#pragma once

#include <cstddef>
#include <vector>

#include "interrupt.hpp"

namespace vellumcut {

struct CrossingResolution {
    bool changed = false;       // some segment was split or dropped
    bool converged = true;      // no crossing was left when it stopped
    std::size_t rounds = 0;     // detection passes made
    std::size_t added_points = 0;
};

// `points` holds x, y pairs, every coordinate a float32 value widened to
// double and no two points equal; `segments` holds two point indices per
// segment. Splits the segments where they cross, overlap or pass through a
// point, appending each new crossing point (rounded to the nearest float32
// value, so every coordinate stays a widened float32) after the existing
// points, and repeats on the new pieces until nothing crosses or the round
// or point budget runs out. Points are never moved or reordered. Without
// any finding both lists are left exactly as they were.
// `stop` is polled every few milliseconds.
CrossingResolution resolve_crossings(std::vector<double>& points, std::vector<int>& segments,
                                     std::size_t max_points, Stop& stop = no_stop());

// Exact sign of the orientation of (a, b, c): +1 when c lies to the left of
// the directed line a->b in a frame with y up, -1 right, 0 collinear. Exact
// for any coordinates whose products neither overflow nor underflow, which
// holds for all widened float32 values.
int orientation(const double* a, const double* b, const double* c);

}  // namespace vellumcut
