// The line fitter: rings simplified outwards by straight lines fitted to
// long runs of corners at one tolerance. The outline reducer starts from
// its result (as well as from the traced rings) once the tolerance allows.
#pragma once

#include <cstdint>
#include <vector>

#include "interrupt.hpp"
#include "sprite_mesh/rings.hpp"
#include "sprite_mesh/segment_grid.hpp"

namespace vellumcut {
namespace sprite {

// Simplifies rings outwards only. A run of vertices is replaced by one line
// when the run fits in a band `tol` units wide along it (every vertex
// between the line's ends); the line is then moved out to the band's outer
// side, so the run lies on its mesh side, and consecutive lines meet at
// their crossing point (within `tol` of the shared vertex) or at a bevel.
// Lines must not cross or touch any other edge nor sweep over any other
// vertex, of any ring. When the finished ring fails that check it is
// simplified again by dropping vertices only (a run is skipped when all of
// it lies on the mesh side of the new edge). Rings keep their first vertex,
// which should be convex (the lowest-then-leftmost is). Call simplify()
// ring by ring, after add() of every ring.
class LineFit : private SegmentGrid {
public:
    LineFit(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1);

    // Room for this many segments, all told (an estimate; more still fit).
    void reserve(std::size_t segments);
    // Registers a ring as it stands; returns its id.
    int add(const IRing& ring);
    // Replaces ring `id` (as registered) by its simplification at `tol`
    // units, starting again from `original`, and returns it; `anchors` gets,
    // per returned corner, the original corner it stands for.
    IRing simplify(int id, const IRing& original, double tol, Stop& stop, std::vector<int>& anchors);
    // Takes ring `id` out (its edges no longer block others).
    void remove(int id);

    // The working state of fit_lines' steps (line_fit.cpp).
    struct Runs;
    struct Trial;

private:
    std::vector<std::vector<int>> ring_segs_;

    // Puts ring `id` back as `original`, one segment per edge; returns them.
    std::vector<int> reinsert(int id, const IRing& original);
    bool fit_lines(int id, const IRing& original, double tol, Stop& stop, IRing& result, std::vector<int>& anchors);
    // fit_lines' steps: lines over the longest runs that fit and are clear
    // of everything else; the ring they make entered in the grid; its
    // edges, and the areas its lines sweep, checked against the rest.
    Runs place_lines(int id, const IRing& original, const std::vector<int>& recs, double tol, Stop& stop);
    bool place_run(int id, const IRing& original, const std::vector<int>& recs, const std::vector<int>& out_recs,
                   std::size_t a, std::size_t cand, double tol, std::int64_t& k_io, std::size_t& take, int& rec);
    void enter_ring(int id, Trial& t);
    void mark_failed_edges(int id, const Trial& t, const IRing& original, const std::vector<int>& recs, double tol,
                           Stop& stop, std::vector<char>& bad);
    void mark_swept_vertices(int id, const Trial& t, const IRing& original, Stop& stop, std::vector<char>& bad);
    IRing simplify_subset(int id, const IRing& original, double tol, Stop& stop, std::vector<int>& anchors);
    bool blocked(const P& a, const P& b, const std::vector<int>& skip_segs, int prev, int next,
                 const IRing& chain);
};

}  // namespace sprite
}  // namespace vellumcut
