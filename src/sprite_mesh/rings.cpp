#include "sprite_mesh/rings.hpp"

#include <algorithm>
#include <cmath>

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

std::vector<TracedRing> trace_rings(const cv::Mat& padded, const cv::Mat& island_labels,
                                    const cv::Mat& gap_labels, std::int64_t bridge, Stop& stop) {
    const int rows = padded.rows, cols = padded.cols;
    const std::size_t stride = static_cast<std::size_t>(cols) + 1;
    // One flag per downward edge (the left side of an opaque pixel): every
    // ring has at least one, and each belongs to exactly one ring.
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(rows) * stride, 0);
    const auto pix = [&](int x, int y) { return padded.ptr<std::uint8_t>(y)[x] != 0; };
    std::vector<TracedRing> out;
    for (int r = 1; r < rows - 1; ++r) {
        if ((r & 31) == 0) stop.poll();
        const std::uint8_t* row = padded.ptr<std::uint8_t>(r);
        for (int c = 1; c < cols - 1; ++c) {
            if (!row[c] || row[c - 1] || seen[static_cast<std::size_t>(r) * stride + c]) continue;
            TracedRing ring;
            ring.island = island_labels.ptr<int>(r)[c];
            ring.gap = gap_labels.ptr<int>(r)[c - 1];
            seen[static_cast<std::size_t>(r) * stride + c] = 1;
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
                    ring.pts.push_back({X - bridge * dx, Y - bridge * dy});
                    ring.pts.push_back({X + bridge * nx, Y + bridge * ny});
                } else if (nx != dx || ny != dy) {
                    ring.pts.push_back({X, Y});
                }
                if (x == c && y == r && nx == 0 && ny == 1) break;
                if (nx == 0 && ny == 1) seen[static_cast<std::size_t>(y) * stride + x] = 1;
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
            out.push_back(std::move(ring));
        }
    }
    return out;
}

// --- simplifier ---------------------------------------------------------------

namespace {

constexpr int kMaxSkip = 320;  // vertices one new edge may replace

int sign(std::int64_t v) { return (v > 0) - (v < 0); }

bool on_segment(const P& a, const P& b, const P& q) {
    return cross(a, b, q) == 0 && std::min(a.x, b.x) <= q.x && q.x <= std::max(a.x, b.x) &&
           std::min(a.y, b.y) <= q.y && q.y <= std::max(a.y, b.y);
}

// Closed segments a-b and c-d share a point.
bool meet(const P& a, const P& b, const P& c, const P& d) {
    const int d1 = sign(cross(a, b, c)), d2 = sign(cross(a, b, d));
    const int d3 = sign(cross(c, d, a)), d4 = sign(cross(c, d, b));
    if (d1 * d2 < 0 && d3 * d4 < 0) return true;
    return (d1 == 0 && on_segment(a, b, c)) || (d2 == 0 && on_segment(a, b, d)) ||
           (d3 == 0 && on_segment(c, d, a)) || (d4 == 0 && on_segment(c, d, b));
}

// q inside or on the closed polygon `poly` (implicitly closed).
bool in_closed(const IRing& poly, const P& q) {
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

}  // namespace

Simplifier::Simplifier(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1)
    : x0_(x0), y0_(y0) {
    const std::int64_t extent = std::max<std::int64_t>({x1 - x0, y1 - y0, 1});
    cell_ = std::max<std::int64_t>(8 * kUnit, extent / 512 + 1);
    cols_ = static_cast<int>((x1 - x0) / cell_ + 1);
    rows_ = static_cast<int>((y1 - y0) / cell_ + 1);
    cells_.resize(static_cast<std::size_t>(cols_) * rows_);
}

template <class F>
void Simplifier::for_cells(const P& a, const P& b, F&& f) const {
    const auto cx = [&](double x) {
        return std::clamp(static_cast<int>(std::floor((x - x0_) / cell_)), 0, cols_ - 1);
    };
    const auto cy = [&](double y) {
        return std::clamp(static_cast<int>(std::floor((y - y0_) / cell_)), 0, rows_ - 1);
    };
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
            const double xl = std::max(lo_x, static_cast<double>(x0_ + c * cell_));
            const double xr = std::min(hi_x, static_cast<double>(x0_ + (c + 1) * cell_));
            const double t = (by - ay) / (bx - ax);
            const double y1 = ay + (xl - ax) * t, y2 = ay + (xr - ax) * t;
            ylo = std::min(y1, y2);
            yhi = std::max(y1, y2);
        }
        const int r0 = cy(ylo - 1), r1 = cy(yhi + 1);
        for (int r = r0; r <= r1; ++r) f(static_cast<std::size_t>(r) * cols_ + c);
    }
}

int Simplifier::insert(const P& a, const P& b, int ring) {
    const int id = static_cast<int>(segs_.size());
    segs_.push_back({a, b, ring, true});
    stamp_.push_back(0);
    for_cells(a, b, [&](std::size_t cell) { cells_[cell].push_back(id); });
    return id;
}

int Simplifier::add(const IRing& ring) {
    const int id = static_cast<int>(ring_segs_.size());
    ring_segs_.emplace_back();
    for (std::size_t i = 0; i < ring.size(); ++i) {
        ring_segs_[id].push_back(insert(ring[i], ring[(i + 1) % ring.size()], id));
    }
    return id;
}

void Simplifier::remove(int id) {
    for (int s : ring_segs_[id]) segs_[s].alive = false;
    ring_segs_[id].clear();
}

bool Simplifier::blocked(const P& a, const P& b, const std::vector<int>& skip_segs, int prev, int next,
                         const IRing& chain) {
    // 1. The new edge may meet its two neighbours only at the shared ends,
    //    and no other edge at all.
    const Seg& ps = segs_[prev];
    const Seg& ns = segs_[next];
    if (cross(a, b, ps.a) == 0 && on_segment(a, b, ps.a)) return true;
    if (cross(a, b, ns.b) == 0 && on_segment(a, b, ns.b)) return true;
    if (on_segment(ps.a, ps.b, b) || on_segment(ns.a, ns.b, a)) return true;
    ++clock_;
    for (int s : skip_segs) stamp_[s] = clock_;
    stamp_[prev] = clock_;
    stamp_[next] = clock_;
    bool hit = false;
    for_cells(a, b, [&](std::size_t cell) {
        if (hit) return;
        for (int s : cells_[cell]) {
            if (stamp_[s] == clock_) continue;
            stamp_[s] = clock_;
            const Seg& g = segs_[s];
            if (g.alive && meet(a, b, g.a, g.b)) {
                hit = true;
                return;
            }
        }
    });
    if (hit) return true;
    // 2. No vertex may lie in the area the new edge adds (the polygon of the
    //    skipped run closed by the new edge). Every vertex starts one edge;
    //    the run's own vertices and the far end are on that polygon anyway.
    ++clock_;
    for (int s : skip_segs) stamp_[s] = clock_;
    stamp_[next] = clock_;
    std::int64_t lx = a.x, hx = a.x, ly = a.y, hy = a.y;
    for (const P& q : chain) {
        lx = std::min(lx, q.x);
        hx = std::max(hx, q.x);
        ly = std::min(ly, q.y);
        hy = std::max(hy, q.y);
    }
    const auto cx = [&](std::int64_t x) { return std::clamp(static_cast<int>((x - x0_) / cell_), 0, cols_ - 1); };
    const auto cy = [&](std::int64_t y) { return std::clamp(static_cast<int>((y - y0_) / cell_), 0, rows_ - 1); };
    for (int r = cy(ly); r <= cy(hy); ++r) {
        for (int c = cx(lx); c <= cx(hx); ++c) {
            for (int s : cells_[static_cast<std::size_t>(r) * cols_ + c]) {
                if (stamp_[s] == clock_) continue;
                stamp_[s] = clock_;
                const Seg& g = segs_[s];
                if (!g.alive) continue;
                if (g.a.x < lx || g.a.x > hx || g.a.y < ly || g.a.y > hy) continue;
                if (in_closed(chain, g.a)) return true;
            }
        }
    }
    return false;
}

IRing Simplifier::simplify(int id, const IRing& original, double tol, Stop& stop) {
    remove(id);
    const std::size_t n = original.size();
    std::vector<int> recs(n);
    for (std::size_t i = 0; i < n; ++i) recs[i] = insert(original[i], original[(i + 1) % n], id);
    if (n < 5 || tol <= 0) {
        ring_segs_[id] = recs;
        return original;
    }
    const double tol2 = tol * tol;
    IRing out{original[0]};
    std::vector<int> out_recs;
    std::vector<int> skip;
    IRing chain;
    std::size_t a = 0;
    while (a < n) {
        if ((a & 1023) == 0) stop.poll();
        const P& pa = original[a];
        const std::size_t jmax = std::min(a + kMaxSkip, a == 0 ? n - 2 : n);
        std::size_t cand = a + 1;
        for (std::size_t j = a + 2; j <= jmax; ++j) {
            if (j == n && out.size() < 3) break;
            const P& pb = original[j % n];
            const double ex = static_cast<double>(pb.x - pa.x), ey = static_cast<double>(pb.y - pa.y);
            const double len2 = ex * ex + ey * ey;
            bool ok = len2 > 0;
            for (std::size_t k = a + 1; ok && k < j; ++k) {
                const P& q = original[k];
                const std::int64_t c = cross(pa, pb, q);
                const double cd = static_cast<double>(c);
                const double t = static_cast<double>(q.x - pa.x) * ex + static_cast<double>(q.y - pa.y) * ey;
                ok = c <= 0 && cd * cd <= tol2 * len2 && t >= 0 && t <= len2;
            }
            if (!ok) break;
            cand = j;
        }
        std::size_t take = a + 1;
        int rec = recs[a];
        if (cand > a + 1) {
            const int prev = a == 0 ? recs[n - 1] : out_recs.back();
            for (std::size_t span = cand - a; span >= 2; span /= 2) {
                const std::size_t j = a + span;
                const int next = j < n ? recs[j] : out_recs.front();
                skip.assign(recs.begin() + static_cast<std::ptrdiff_t>(a),
                            recs.begin() + static_cast<std::ptrdiff_t>(j));
                chain.assign(original.begin() + static_cast<std::ptrdiff_t>(a),
                             original.begin() + static_cast<std::ptrdiff_t>(std::min(j, n - 1) + 1));
                if (j == n) chain.push_back(original[0]);
                if (!blocked(pa, original[j % n], skip, prev, next, chain)) {
                    for (int s : skip) segs_[s].alive = false;
                    rec = insert(pa, original[j % n], id);
                    take = j;
                    break;
                }
            }
        }
        out_recs.push_back(rec);
        if (take < n) out.push_back(original[take]);
        a = take;
    }
    ring_segs_[id] = out_recs;
    return out;
}

bool Simplifier::fits(const IRing& ring, const std::vector<int>& ignore, std::vector<int>& hit) {
    hit.clear();
    ++clock_;
    for (int r : ignore) {
        for (int s : ring_segs_[r]) stamp_[s] = clock_;
    }
    const unsigned mark = clock_;
    std::vector<char> seen_ring(ring_segs_.size(), 0);
    const auto note = [&](int r) {
        if (!seen_ring[r]) {
            seen_ring[r] = 1;
            hit.push_back(r);
        }
    };
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const P& a = ring[i];
        const P& b = ring[(i + 1) % ring.size()];
        for_cells(a, b, [&](std::size_t cell) {
            for (int s : cells_[cell]) {
                const Seg& g = segs_[s];
                if (stamp_[s] == mark || !g.alive) continue;
                if (meet(a, b, g.a, g.b)) note(g.ring);
            }
        });
    }
    for (std::size_t s = 0; s < segs_.size(); ++s) {
        const Seg& g = segs_[s];
        if (!g.alive || stamp_[s] == mark || seen_ring[g.ring]) continue;
        if (in_closed(ring, g.a)) note(g.ring);
    }
    return hit.empty();
}

}  // namespace sprite
}  // namespace vellumcut
