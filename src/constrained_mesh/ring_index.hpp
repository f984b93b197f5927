// Exact point-in-ring queries through a row index.
//
// `ring_test(index, pt)` returns what cv::pointPolygonTest(ring, pt, false)
// returns for a std::vector<cv::Point2f> ring (+1 inside, -1 outside, 0 on the
// ring), bit for bit, including for NaN and infinite query points. OpenCV walks
// every edge of the ring for each query; the index only walks the edges whose
// closed y-range can hold the query's y, which for a traced pixel outline is a
// handful per row instead of the whole outline.
//
// Why this is exact: for a query (px, py), an edge whose y-range lies wholly
// above or below py never changes OpenCV's crossing count and never triggers its
// "on the ring" exit (that exit needs py == the edge's end y). Every other edge
// is evaluated with OpenCV's own per-edge expression (differences in single
// precision, the cross product in double). OpenCV's only early exit returns 0,
// so the result does not depend on the order in which edges are visited.
#pragma once

#include <cstdint>
#include <vector>

#include "outline.hpp"

namespace vellumcut {

// One ring edge as OpenCV sees it: from the previous point to the current one.
struct RingEdge {
    cv::Point2f from;
    cv::Point2f to;
    int ring;  // position of the edge's ring in the list the index was built from
    // In a slot: position in `RingIndex::edges` just past this edge's ring
    // group (edges of one ring within one slot).
    std::uint32_t group_end = 0;
};

// Edges bucketed by row slot. With y' = y * scale (scale a power of two, 1 for
// pixel outlines), slot 2k holds the edges whose closed y'-range contains the
// whole number k, and slot 2k + 1 those that meet the open interval (k, k + 1).
// A horizontal edge of a pixel outline therefore lands only in the slot for its
// exact row and costs nothing to queries between rows.
//
// An index may hold several rings (the holes of a region); within a slot the
// edges stay grouped by ring, in ring order, so each ring's answer is still
// computed from its own edges alone.
//
// Within a group, edges are sorted by their larger x, largest first. An edge
// whose both ends lie left of the query (larger x < px) can neither count as
// a crossing nor report "on the ring" in OpenCV's walk, so a query stops
// walking a group at the first such edge and skips a group whose first edge
// is one.
struct RingIndex {
    std::vector<RingEdge> all;        // every edge, ring by ring (fallback path)
    bool linear = false;              // non-finite or huge coordinates: walk `all`
    float y_min = 0.0f;               // smallest and largest ring y
    float y_max = 0.0f;
    double scale = 1.0;
    std::int64_t base = 0;            // floor(y_min * scale)
    std::vector<std::uint32_t> start; // slot s holds edges[start[s] .. start[s + 1])
    std::vector<RingEdge> edges;
};

RingIndex build_ring_index(const Loop& ring);
RingIndex build_ring_index(const std::vector<Loop>& rings);

// For an index of one ring: +1 inside, -1 outside, 0 on the ring: exactly cv::pointPolygonTest(ring, pt, false)
// for any non-empty ring (OpenCV throws on an empty one; here it gives -1).
int ring_test(const RingIndex& index, cv::Point2f pt);

// For an index of several rings: the position of the first ring for which
// cv::pointPolygonTest(ring, pt, false) is 0 or positive (pt on or inside it),
// or -1 when pt is outside every ring. Same answer as testing the rings one by
// one in order and stopping at the first that is not negative.
int first_ring_not_outside(const RingIndex& index, cv::Point2f pt);

}  // namespace vellumcut
