// Pieces of the sprite mesher shared by its steps (and by the C++ tests):
// integer rings on pixel edges and the outward-only simplifier.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {
namespace sprite {

struct P {
    std::int64_t x = 0;
    std::int64_t y = 0;
    bool operator==(const P& o) const { return x == o.x && y == o.y; }
    bool operator!=(const P& o) const { return !(*this == o); }
};

using IRing = std::vector<P>;

inline std::int64_t cross(const P& o, const P& a, const P& b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Twice the shoelace area (negative for outer rings, see sprite_mesh.hpp).
std::int64_t area2(const IRing& ring);

// One traced ring of a framed mask (a transparent frame of one pixel all
// round): corners in units of 1/kUnit px of the padded grid, the opaque
// island (8-connected) on its right. Islands and the 4-connected transparent
// regions (gaps) are named by ring index: `island` is the index of the
// island's outer ring, `gap` the index of the hole ring that bounds the gap
// across this ring (-1: the background around everything). `area` is the
// pixel area the ring's crack edges enclose.
struct TracedRing {
    IRing pts;
    int island = 0;
    int gap = -1;
    std::int64_t area = 0;
    bool hole = false;
    bool bridged = false;  // passes through a corner shared with a diagonal pixel
};

// Every ring of `padded` (CV_8UC1, nonzero where opaque, frame transparent). Where two opaque
// pixels touch only at a corner they belong to one island; the ring's two
// passes through that corner are each cut by `bridge` units into the
// transparent pixel they wrap around, so that no ring touches itself or
// another. Which island and gap each ring bounds is found from the rings
// themselves (no labelling pass over the image).
std::vector<TracedRing> trace_rings(const cv::Mat& padded, std::int64_t bridge, Stop& stop);

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
class Simplifier {
public:
    Simplifier(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1);

    // Room for this many segments, all told (an estimate; more still fit).
    void reserve(std::size_t segments);
    // Registers a ring as it stands; returns its id.
    int add(const IRing& ring);
    // Replaces ring `id` (as registered) by its simplification at `tol`
    // units, starting again from `original`, and returns it.
    IRing simplify(int id, const IRing& original, double tol, Stop& stop);
    // Takes ring `id` out (its edges no longer block others).
    void remove(int id);
    // Whether `ring` (not registered) would cross, touch or enclose nothing
    // registered except the rings in `ignore`.
    bool fits(const IRing& ring, const std::vector<int>& ignore, std::vector<int>& hit);

private:
    struct Seg {
        P a, b;
        int ring;
        bool alive;
    };
    // The segments of each grid cell, a list in insertion order kept in
    // flat arrays: head_/tail_ per cell, node_seg_/node_next_ per entry.
    class CellRange {
    public:
        struct It {
            const Simplifier* s;
            int node;
            int operator*() const { return s->node_seg_[static_cast<std::size_t>(node)]; }
            It& operator++() {
                node = s->node_next_[static_cast<std::size_t>(node)];
                return *this;
            }
            bool operator!=(const It& o) const { return node != o.node; }
        };
        CellRange(const Simplifier* s, int head) : s_(s), head_(head) {}
        It begin() const { return {s_, head_}; }
        It end() const { return {s_, -1}; }

    private:
        const Simplifier* s_;
        int head_;
    };
    CellRange cell(std::size_t c) const { return CellRange(this, head_[c]); }

    std::int64_t x0_, y0_, cell_;
    int cols_, rows_;
    std::vector<int> head_, tail_, node_seg_, node_next_;
    std::vector<Seg> segs_;
    std::vector<std::vector<int>> ring_segs_;
    std::vector<unsigned> stamp_;
    unsigned clock_ = 0;

    int insert(const P& a, const P& b, int ring);
    // Puts ring `id` back as `original`, one segment per edge; returns them.
    std::vector<int> reinsert(int id, const IRing& original);
    template <class F>
    void for_cells(const P& a, const P& b, F&& f) const;
    bool fit_lines(int id, const IRing& original, double tol, Stop& stop, IRing& result);
    IRing simplify_subset(int id, const IRing& original, double tol, Stop& stop);
    bool blocked(const P& a, const P& b, const std::vector<int>& skip_segs, int prev, int next,
                 const IRing& chain);
};

}  // namespace sprite
}  // namespace vellumcut
