// Exact predicates on integer points (units of 1/kUnit px) shared by the
// outline simplifiers: every test is on 64-bit integers, no rounding.
#pragma once

#include <algorithm>
#include <cstdint>

#include "sprite_mesh/rings.hpp"

namespace vellumcut {
namespace sprite {

inline int sign(std::int64_t v) { return (v > 0) - (v < 0); }

inline bool on_segment(const P& a, const P& b, const P& q) {
    return cross(a, b, q) == 0 && std::min(a.x, b.x) <= q.x && q.x <= std::max(a.x, b.x) &&
           std::min(a.y, b.y) <= q.y && q.y <= std::max(a.y, b.y);
}

// Closed segments a-b and c-d share a point.
inline bool meet(const P& a, const P& b, const P& c, const P& d) {
    const int d1 = sign(cross(a, b, c)), d2 = sign(cross(a, b, d));
    const int d3 = sign(cross(c, d, a)), d4 = sign(cross(c, d, b));
    if (d1 * d2 < 0 && d3 * d4 < 0) return true;
    return (d1 == 0 && on_segment(a, b, c)) || (d2 == 0 && on_segment(a, b, d)) ||
           (d3 == 0 && on_segment(c, d, a)) || (d4 == 0 && on_segment(c, d, b));
}

// The open segments a-b and c-d cross at a single point inside both.
inline bool crosses(const P& a, const P& b, const P& c, const P& d) {
    return sign(cross(a, b, c)) * sign(cross(a, b, d)) < 0 && sign(cross(c, d, a)) * sign(cross(c, d, b)) < 0;
}

// q inside or on the closed polygon `poly` (implicitly closed).
inline bool in_closed(const IRing& poly, const P& q) {
    bool inside = false;
    const std::size_t n = poly.size();
    for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
        const P& a = poly[j];
        const P& b = poly[i];
        if (on_segment(a, b, q)) return true;
        if ((a.y > q.y) != (b.y > q.y)) {
            // x of the edge at q.y compared with q.x, without division.
            const std::int64_t c = cross(a, b, q);
            if ((c > 0) == (b.y > a.y)) inside = !inside;
        }
    }
    return inside;
}

// Rotates a ring to start at its lowest-then-leftmost corner (a convex one).
inline void start_top_left(IRing& r) {
    const auto first = std::min_element(r.begin(), r.end(), [](const P& a, const P& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    std::rotate(r.begin(), first, r.end());
}

}  // namespace sprite
}  // namespace vellumcut
