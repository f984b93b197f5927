#include "sprite_mesh/rings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {

std::int64_t area2(const IRing& ring) {
    std::int64_t s = 0;
    const std::size_t n = ring.size();
    for (std::size_t i = 0; i < n; ++i) {
        const P& a = ring[i];
        const P& b = ring[(i + 1) % n];
        s += a.x * b.y - b.x * a.y;
    }
    return s;
}

std::vector<TracedRing> trace_rings(const cv::Mat& padded, std::int64_t bridge, Stop& stop) {
    const int rows = padded.rows, cols = padded.cols;
    const std::size_t stride = static_cast<std::size_t>(cols) + 1;
    // One flag per downward edge (the left side of an opaque pixel): every
    // ring has at least one, and each belongs to exactly one ring.
    std::vector<std::uint64_t> seen((static_cast<std::size_t>(rows) * stride + 63) / 64, 0);
    const auto mark = [&](std::size_t at) { seen[at >> 6] |= std::uint64_t{1} << (at & 63); };
    const auto marked = [&](std::size_t at) { return (seen[at >> 6] >> (at & 63)) & 1; };
    const auto pix = [&](int x, int y) { return padded.ptr<std::uint8_t>(y)[x] != 0; };
    std::vector<TracedRing> out;
    // Vertical crack edges of every ring: (row, x, ring), sorted by row
    // and x once every ring is traced.
    struct VEdge {
        int y, x, ring;
        bool operator<(const VEdge& o) const { return y != o.y ? y < o.y : (x != o.x ? x < o.x : ring < o.ring); }
    };
    std::vector<VEdge> vedges;
    std::vector<std::pair<int, int>> found;  // where each ring was met: (c, r)
    for (int r = 1; r < rows - 1; ++r) {
        if ((r & 31) == 0) stop.poll();
        const std::uint8_t* row = padded.ptr<std::uint8_t>(r);
        for (int c = 1; c < cols - 1; ++c) {
            // Eight pixels at a time while none differs from its left
            // neighbour (most of a sprite is runs of one value).
            while (c + 8 < cols) {
                std::uint64_t here, left;
                std::memcpy(&here, row + c, 8);
                std::memcpy(&left, row + c - 1, 8);
                if (here != left) break;
                c += 8;
            }
            if (c >= cols - 1) break;
            if (!row[c] || row[c - 1] || marked(static_cast<std::size_t>(r) * stride + c)) continue;
            TracedRing ring;
            const int index = static_cast<int>(out.size());
            found.emplace_back(c, r);
            vedges.push_back({r, c, index});
            std::int64_t twice_area = c;  // the first (downward) edge
            mark(static_cast<std::size_t>(r) * stride + c);
            int x = c, y = r + 1, dx = 0, dy = 1;
            for (;;) {
                // Ahead of the corner, on the outer (left) and inner (right)
                // side of the direction of travel. A pixel offset (ox, oy) in
                // {-1, 1}^2 from corner (x, y) is pixel (x + (ox-1)/2, y + (oy-1)/2).
                const int lx = -dy, ly = dx, rx = dy, ry = -dx;
                const bool ahead_out = pix(x + (dx + lx - 1) / 2, y + (dy + ly - 1) / 2);
                const bool ahead_in = pix(x + (dx + rx - 1) / 2, y + (dy + ry - 1) / 2);
                int nx, ny;
                bool pinch = false;
                if (ahead_out) {
                    // Turn towards the outside; when the pixel straight ahead
                    // is transparent the two opaque pixels meet only at this
                    // corner (8-connected: one island).
                    nx = lx;
                    ny = ly;
                    pinch = !ahead_in;
                } else if (ahead_in) {
                    nx = dx;
                    ny = dy;
                } else {
                    nx = rx;
                    ny = ry;
                }
                const std::int64_t X = x * kUnit, Y = y * kUnit;
                if (pinch) {
                    // Cut the corner: a short chord through the transparent
                    // pixel this pass wraps around, so the two passes keep
                    // `bridge` units apart and the island stays one piece.
                    ring.bridged = true;
                    ring.pts.push_back({X - bridge * dx, Y - bridge * dy});
                    ring.pts.push_back({X + bridge * nx, Y + bridge * ny});
                } else if (nx != dx || ny != dy) {
                    ring.pts.push_back({X, Y});
                }
                if (x == c && y == r && nx == 0 && ny == 1) break;
                if (nx == 0 && ny == 1) mark(static_cast<std::size_t>(y) * stride + x);
                if (ny != 0) vedges.push_back({ny > 0 ? y : y - 1, x, index});
                twice_area += static_cast<std::int64_t>(x) * ny - static_cast<std::int64_t>(nx) * y;
                x += nx;
                y += ny;
                dx = nx;
                dy = ny;
            }
            // Start at the top-left-most corner, which is convex.
            const auto first = std::min_element(ring.pts.begin(), ring.pts.end(), [](const P& a, const P& b) {
                return a.y != b.y ? a.y < b.y : a.x < b.x;
            });
            std::rotate(ring.pts.begin(), first, ring.pts.end());
            ring.hole = area2(ring.pts) > 0;
            ring.area = std::abs(twice_area) / 2;
            out.push_back(std::move(ring));
        }
    }
    std::sort(vedges.begin(), vedges.end());
    // The ring whose vertical edge is the last one at or left of x on row y.
    const auto left_of = [&](int y, int x) {
        const auto row = std::lower_bound(vedges.begin(), vedges.end(), VEdge{y, INT32_MIN, INT32_MIN});
        const auto it = std::upper_bound(row, vedges.end(), VEdge{y, x, INT32_MAX});
        return it == row ? -1 : std::prev(it)->ring;
    };
    // Rings are met in raster order at their first downward edge, so every
    // ring looked up here was resolved before the one asking.
    for (std::size_t i = 0; i < out.size(); ++i) {
        TracedRing& ring = out[i];
        const int c = found[i].first, r = found[i].second;
        if (ring.hole) {
            // The ring is met on its top row, the gap's top row: the pixel
            // above the gap's first pixel is opaque, and the edge that opens
            // its run on the row above belongs to a ring of this island.
            ring.gap = static_cast<int>(i);
            const int t = left_of(r - 1, c - 1);
            if (t < 0 || static_cast<std::size_t>(t) >= i) throw std::logic_error("trace_rings: hole without island");
            ring.island = out[t].hole ? out[t].island : t;
        } else {
            // The transparent run left of the first pixel ends at an edge
            // whose transparent side is this gap: inside it for a hole ring,
            // around it for an outer ring; none: the background.
            ring.island = static_cast<int>(i);
            const int s = left_of(r, c - 1);
            if (s >= static_cast<int>(i)) throw std::logic_error("trace_rings: unresolved ring");
            ring.gap = s < 0 ? -1 : (out[s].hole ? s : out[s].gap);
        }
    }
    return out;
}

}  // namespace sprite
}  // namespace vellumcut
