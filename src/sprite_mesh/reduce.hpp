// The outline reducer: takes the traced (or padded) rings of a sprite down
// to few vertices, outwards only, in one fixed sequence of steps.
//
// A step removes one vertex of one ring, in one of two ways, both of which
// only ever add area on the outside of the mesh:
//   * drop a reflex (or straight) corner v: a -> v -> b becomes a -> b;
//   * collapse an edge v -> w: the edges into v and out of w are extended
//     until they meet at X, and u -> v -> w -> x becomes u -> X -> x.
// A step is taken only when its new edges meet no other edge of any ring and
// the area it adds holds no vertex of any ring, so rings stay simple, never
// touch, and every opaque pixel stays inside.
//
// Tolerance: each step is keyed by how far its new edges stray from the
// pixel boundary they replace (a bound measured along the edge's normal,
// plus the ring's own slack). reduce_tolerance(t) takes the steps in key
// order and stops at the first key above t. Nothing in the sequence depends
// on t: a larger t runs the same sequence further, so the vertex count can
// only fall as the tolerance grows.
//
// Budget: reduce_budget(n) then goes on with the step (or the hole fill)
// that adds the least area per vertex it saves, until at most n vertices
// are left over the whole sprite. A ring that no step can reduce further
// becomes a reduced convex hull, taking in any island the hull would reach.
#pragma once

#include <cstdint>
#include <vector>

#include "interrupt.hpp"
#include "sprite_mesh/rings.hpp"
#include "sprite_mesh/segment_grid.hpp"

namespace vellumcut {
namespace sprite {

struct BudgetReport {
    bool applied = false;         // the tolerance result was over the budget
    double overdraw_before = 0;   // mesh area over opaque area, minus 1, before the budget
    double overdraw = 0;          // ... after it
    std::size_t under_10 = 0;     // the least vertex count seen with overdraw <= 10 % (0: none)
};

class Reducer : private SegmentGrid {
public:
    // Every ring must lie in the box [x0, x1] x [y0, y1] (units); new
    // corners are kept within `reach` units of it.
    Reducer(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1, std::int64_t reach);

    // Registers a ring of part `part` (the outer ring comes first); `slack`
    // is added to every key of the ring (what its tracing already strayed).
    int add_ring(const IRing& ring, int part, bool hole, double slack);
    // The same, starting from `start`, a simplification of `ring` whose
    // corner k stands for corner anchors[k] of `ring` (anchors ascending).
    int add_ring(const IRing& ring, const IRing& start, const std::vector<int>& anchors, int part, bool hole,
                 double slack);
    // Parts lying inside hole ring `hole`: filling the hole removes them.
    void set_inside(int hole, std::vector<int> parts);

    void reduce_tolerance(double tol, Stop& stop);
    // `opaque` is the area of the opaque pixels in square units.
    BudgetReport reduce_budget(std::size_t budget, double opaque, Stop& stop);

    std::size_t parts() const { return part_rings_.size(); }
    bool part_alive(int part) const;
    // The part's live rings, outer first.
    std::vector<IRing> part_rings(int part) const;
    std::size_t total() const { return total_; }
    // Mesh area (square units) of every live part.
    double mesh_area() const;

private:
    struct Node {
        P p;
        int prev = -1, next = -1;
        int ring = -1;
        int seg = -1;       // the grid segment of the edge to `next`
        int lo = 0;         // the original corners this edge replaces:
        int cnt = 2;        //   lo, lo + 1, ..., lo + cnt - 1 (mod size)
        unsigned ver = 0;
        bool alive = true;
    };
    struct Ring {
        IRing orig;
        int part = -1;
        bool hole = false;
        bool alive = true;
        double slack = 0;
        int head = -1;  // any live node
        int count = 0;
        std::vector<int> inside;  // parts inside this hole
    };
    enum Kind : std::uint8_t { kDrop = 0, kCollapse = 1, kFill = 2 };
    struct Cand {
        double key;
        double area;
        int at;  // node (or ring, for a fill)
        unsigned ver;
        Kind kind;
        bool operator>(const Cand& o) const {
            if (key != o.key) return key > o.key;
            if (area != o.area) return area > o.area;
            if (at != o.at) return at > o.at;
            return kind > o.kind;
        }
    };
    struct Step {
        P x;                 // the new corner of a collapse
        double key = 0;
        double area = 0;     // square units added
    };

    std::int64_t x1_, y1_;  // the far corner of the grid's box
    // --- the rings ---
    std::vector<Ring> rings_;
    std::vector<Node> nodes_;
    std::vector<std::vector<int>> part_rings_;
    std::size_t total_ = 0;
    bool budget_mode_ = false;

    bool plan_drop(int v, Step& s) const;
    bool plan_collapse(int v, Step& s) const;
    double stray(const P& a, const P& b, const Ring& r, int lo, int cnt) const;
    bool drop_is_free(int v);
    bool collapse_is_free(int v, const P& x);
    void apply_drop(int v);
    void apply_collapse(int v, const P& x);
    void push_node(std::vector<Cand>& heap, int v) const;
    void refresh_around(std::vector<Cand>& heap, int v, int before, int after);
    double take_step(const Cand& c, std::vector<Cand>& heap);
    void kill_ring(int r);
    void kill_part(int part);
    std::size_t fill_saves(int r) const;
    double ring_area(int r) const;  // absolute, square units
    IRing ring_points(int r) const;
    void set_ring(int r, const IRing& pts, const std::vector<int>* anchors = nullptr);
    bool hull_fits(const IRing& hull, int part, std::vector<int>& hit_rings);
    void hull_fallback(std::size_t budget, Stop& stop);
};

}  // namespace sprite
}  // namespace vellumcut
