// The segments of every ring of a sprite, bucketed in a uniform grid, for
// the simplifiers' "does this new edge meet anything" and "does this area
// hold a corner" questions. Segments are only ever added; one that is no
// longer part of its ring is marked dead. Queries skip segments stamped
// with the current `clock_`.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sprite_mesh/predicates.hpp"
#include "sprite_mesh/rings.hpp"

namespace vellumcut {
namespace sprite {

class SegmentGrid {
protected:
    // The box [x0, x1] x [y0, y1] (units); segments beyond it land in its
    // border cells.
    SegmentGrid(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1);

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
            const SegmentGrid* s;
            int node;
            int operator*() const { return s->node_seg_[static_cast<std::size_t>(node)]; }
            It& operator++() {
                node = s->node_next_[static_cast<std::size_t>(node)];
                return *this;
            }
            bool operator!=(const It& o) const { return node != o.node; }
        };
        CellRange(const SegmentGrid* s, int head) : s_(s), head_(head) {}
        It begin() const { return {s_, head_}; }
        It end() const { return {s_, -1}; }

    private:
        const SegmentGrid* s_;
        int head_;
    };
    CellRange cell(std::size_t c) const { return CellRange(this, head_[c]); }

    // Room for this many segments, all told (an estimate; more still fit).
    void reserve_segments(std::size_t segments);
    int insert(const P& a, const P& b, int ring);

    // Calls f(cell index) for every cell segment a-b may pass through.
    template <class F>
    void for_cells(const P& a, const P& b, F&& f) const {
        const auto cx = [&](double x) {
            return std::clamp(static_cast<int>(std::floor((x - static_cast<double>(x0_)) / static_cast<double>(cell_))), 0,
                              cols_ - 1);
        };
        const auto cy = [&](double y) {
            return std::clamp(static_cast<int>(std::floor((y - static_cast<double>(y0_)) / static_cast<double>(cell_))), 0,
                              rows_ - 1);
        };
        {
            // Most segments are short and lie well inside one cell.
            const std::int64_t lx = std::min(a.x, b.x) - 1 - x0_, hx = std::max(a.x, b.x) + 1 - x0_;
            const std::int64_t ly = std::min(a.y, b.y) - 1 - y0_, hy = std::max(a.y, b.y) + 1 - y0_;
            if (lx >= 0 && ly >= 0 && lx / cell_ == hx / cell_ && ly / cell_ == hy / cell_ && hx / cell_ < cols_ &&
                hy / cell_ < rows_) {
                f(static_cast<std::size_t>(ly / cell_) * static_cast<std::size_t>(cols_) +
                  static_cast<std::size_t>(lx / cell_));
                return;
            }
        }
        const double ax = static_cast<double>(a.x), ay = static_cast<double>(a.y);
        const double bx = static_cast<double>(b.x), by = static_cast<double>(b.y);
        const double lo_x = std::min(ax, bx), hi_x = std::max(ax, bx);
        const int c0 = cx(lo_x - 1), c1 = cx(hi_x + 1);
        for (int c = c0; c <= c1; ++c) {
            double ylo, yhi;
            if (ax == bx) {
                ylo = std::min(ay, by);
                yhi = std::max(ay, by);
            } else {
                // The segment's stretch over this column (clamped, so the
                // border columns also take what lies beyond the box).
                const double xl = c == c0 ? lo_x : std::clamp(static_cast<double>(x0_ + c * cell_), lo_x, hi_x);
                const double xr = c == c1 ? hi_x : std::clamp(static_cast<double>(x0_ + (c + 1) * cell_), lo_x, hi_x);
                const double t = (by - ay) / (bx - ax);
                const double y1 = ay + (xl - ax) * t, y2 = ay + (xr - ax) * t;
                ylo = std::min(y1, y2);
                yhi = std::max(y1, y2);
            }
            const int r0 = cy(ylo - 1), r1 = cy(yhi + 1);
            for (int r = r0; r <= r1; ++r) {
                f(static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(c));
            }
        }
    }

    // Calls f(segment) for the segments of every cell meeting the box
    // [lx, hx] x [ly, hy] until f returns false.
    template <class F>
    void for_box(std::int64_t lx, std::int64_t ly, std::int64_t hx, std::int64_t hy, F&& f) const {
        const auto cx = [&](std::int64_t x) { return static_cast<int>(std::clamp<std::int64_t>((x - x0_) / cell_, 0, cols_ - 1)); };
        const auto cy = [&](std::int64_t y) { return static_cast<int>(std::clamp<std::int64_t>((y - y0_) / cell_, 0, rows_ - 1)); };
        for (int r = cy(ly); r <= cy(hy); ++r) {
            for (int c = cx(lx); c <= cx(hx); ++c) {
                for (int s : cell(static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(c))) {
                    if (!f(s)) return;
                }
            }
        }
    }

    // Calls f(index, segment) once for each segment of the cells a-b may
    // pass through that is not stamped with the current clock, stamping it,
    // until f returns true; returns whether it did.
    template <class F>
    bool any_unstamped_near(const P& a, const P& b, F&& f) {
        bool hit = false;
        for_cells(a, b, [&](std::size_t at) {
            if (hit) return;
            for (int s : cell(at)) {
                const auto i = static_cast<std::size_t>(s);
                if (stamp_[i] == clock_) continue;
                stamp_[i] = clock_;
                if (f(s, segs_[i])) {
                    hit = true;
                    return;
                }
            }
        });
        return hit;
    }

    // Whether a live segment not stamped with the current clock meets a-b.
    bool meets_unstamped(const P& a, const P& b) {
        return any_unstamped_near(a, b, [&](int, const Seg& g) { return g.alive && meet(a, b, g.a, g.b); });
    }

    // Whether the closed polygon `poly` holds the first corner of a segment
    // that `skip(index, segment)` lets through.
    template <class Skip>
    bool corner_inside(const IRing& poly, Skip&& skip) {
        std::int64_t lx = poly[0].x, hx = lx, ly = poly[0].y, hy = ly;
        for (const P& q : poly) {
            lx = std::min(lx, q.x);
            hx = std::max(hx, q.x);
            ly = std::min(ly, q.y);
            hy = std::max(hy, q.y);
        }
        bool hit = false;
        for_box(lx, ly, hx, hy, [&](int s) {
            const Seg& g = segs_[static_cast<std::size_t>(s)];
            if (skip(s, g) || g.a.x < lx || g.a.x > hx || g.a.y < ly || g.a.y > hy) return true;
            hit = in_closed(poly, g.a);
            return !hit;
        });
        return hit;
    }

    // Whether the closed polygon `poly` holds the first corner of a live
    // segment not stamped with the current clock (stamping those it sees).
    bool vertex_in_unstamped(const IRing& poly) {
        return corner_inside(poly, [&](int s, const Seg& g) {
            const auto i = static_cast<std::size_t>(s);
            if (stamp_[i] == clock_) return true;
            stamp_[i] = clock_;
            return !g.alive;
        });
    }

    std::int64_t x0_, y0_, cell_;
    int cols_, rows_;
    std::vector<int> head_, tail_, node_seg_, node_next_;
    std::vector<Seg> segs_;
    std::vector<unsigned> stamp_;
    unsigned clock_ = 0;
};

}  // namespace sprite
}  // namespace vellumcut
