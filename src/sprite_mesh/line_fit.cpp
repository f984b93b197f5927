#include "sprite_mesh/line_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "sprite_mesh/predicates.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {


namespace {

constexpr int kMaxSkip = 320;  // vertices one new edge may replace

// A ring's edges bucketed by horizontal bands of y, for point-in-polygon
// tests of many points against one long ring: an edge that contains a
// point or straddles its row lies in the point's band.
class RingBands {
public:
    explicit RingBands(const IRing& ring) : ring_(ring) {
        const std::size_t n = ring.size();
        if (n == 0) return;
        y0_ = y1_ = ring[0].y;
        for (const P& q : ring) {
            y0_ = std::min(y0_, q.y);
            y1_ = std::max(y1_, q.y);
        }
        const std::int64_t count = static_cast<std::int64_t>(std::min<std::size_t>(std::max<std::size_t>(n / 2, 1), 1u << 16));
        step_ = std::max<std::int64_t>((y1_ - y0_) / count + 1, 1);
        const std::size_t bands = static_cast<std::size_t>((y1_ - y0_) / step_ + 1);
        start_.assign(bands + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [lo, hi] = span(i);
            for (std::size_t b = lo; b <= hi; ++b) ++start_[b + 1];
        }
        for (std::size_t b = 0; b < bands; ++b) start_[b + 1] += start_[b];
        edges_.resize(start_[bands]);
        std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [lo, hi] = span(i);
            for (std::size_t b = lo; b <= hi; ++b) edges_[fill[b]++] = static_cast<std::uint32_t>(i);
        }
    }

    // q inside or on the closed ring (in_closed, above).
    bool in_closed(const P& q) const {
        if (q.y < y0_ || q.y > y1_) return false;
        const std::size_t b = static_cast<std::size_t>((q.y - y0_) / step_);
        bool inside = false;
        for (std::size_t k = start_[b]; k < start_[b + 1]; ++k) {
            const std::size_t i = edges_[k];
            const P& a = ring_[i];
            const P& c = ring_[(i + 1) % ring_.size()];
            if (on_segment(a, c, q)) return true;
            if ((a.y > q.y) != (c.y > q.y)) {
                const std::int64_t x = cross(a, c, q);
                if ((x > 0) == (c.y > a.y)) inside = !inside;
            }
        }
        return inside;
    }

    // q on an edge of the ring.
    bool on(const P& q) const {
        if (q.y < y0_ || q.y > y1_) return false;
        const std::size_t b = static_cast<std::size_t>((q.y - y0_) / step_);
        for (std::size_t k = start_[b]; k < start_[b + 1]; ++k) {
            const std::size_t i = edges_[k];
            if (on_segment(ring_[i], ring_[(i + 1) % ring_.size()], q)) return true;
        }
        return false;
    }

private:
    std::pair<std::size_t, std::size_t> span(std::size_t i) const {
        const std::int64_t a = ring_[i].y, c = ring_[(i + 1) % ring_.size()].y;
        return {static_cast<std::size_t>((std::min(a, c) - y0_) / step_),
                static_cast<std::size_t>((std::max(a, c) - y0_) / step_)};
    }

    const IRing& ring_;
    std::int64_t y0_ = 0, y1_ = 0, step_ = 1;
    std::vector<std::size_t> start_;
    std::vector<std::uint32_t> edges_;
};

}  // namespace

LineFit::LineFit(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1) : SegmentGrid(x0, y0, x1, y1) {}

void LineFit::reserve(std::size_t segments) { reserve_segments(segments); }

int LineFit::add(const IRing& ring) {
    const int id = static_cast<int>(ring_segs_.size());
    ring_segs_.emplace_back();
    for (std::size_t i = 0; i < ring.size(); ++i) {
        ring_segs_[id].push_back(insert(ring[i], ring[(i + 1) % ring.size()], id));
    }
    return id;
}

void LineFit::remove(int id) {
    for (int s : ring_segs_[id]) segs_[s].alive = false;
    ring_segs_[id].clear();
}

bool LineFit::blocked(const P& a, const P& b, const std::vector<int>& skip_segs, int prev, int next,
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
    if (meets_unstamped(a, b)) return true;
    // 2. No vertex may lie in the area the new edge adds (the polygon of the
    //    skipped run closed by the new edge, of which `a` is a point). Every
    //    vertex starts one edge; the run's own vertices and the far end are
    //    on that polygon anyway.
    ++clock_;
    for (int s : skip_segs) stamp_[s] = clock_;
    stamp_[next] = clock_;
    return vertex_in_unstamped(chain);
}

static bool edge_within(const P& p, const P& q, const IRing& ring, std::size_t from, std::size_t to, double tol);

namespace {

// The line cross(b - a, p - a) = k of an edge a -> b moved outwards.
struct Line {
    P a, b;
    std::int64_t k = 0;
};

std::int64_t side(const Line& l, const P& p) { return cross(l.a, l.b, p) - l.k; }  // > 0: outside

// Smallest whole-unit shift (dx, dy) that puts a point of the line through
// a -> b at least k outside it.
P outward_shift(const Line& l) {
    if (l.k == 0) return {0, 0};
    const double ex = static_cast<double>(l.b.x - l.a.x), ey = static_cast<double>(l.b.y - l.a.y);
    const double f = static_cast<double>(l.k) / (ex * ex + ey * ey);
    // The outward normal is (-ey, ex).
    const double sx = -ey * f, sy = ex * f;
    P s{static_cast<std::int64_t>(sx < 0 ? std::floor(sx) : std::ceil(sx)),
        static_cast<std::int64_t>(sy < 0 ? std::floor(sy) : std::ceil(sy))};
    while (cross(l.a, l.b, {l.a.x + s.x, l.a.y + s.y}) < l.k) {  // float rounding
        s.x += sx < 0 ? -1 : 1;
        s.y += sy < 0 ? -1 : 1;
    }
    return s;
}

// The whole-unit point on or outside line `l` nearest to where the
// perpendicular from p meets it.
P foot_outside(const Line& l, const P& p) {
    const double ex = static_cast<double>(l.b.x - l.a.x), ey = static_cast<double>(l.b.y - l.a.y);
    const double f = static_cast<double>(side(l, p)) / (ex * ex + ey * ey);
    const double x = static_cast<double>(p.x) + f * ey, y = static_cast<double>(p.y) - f * ex;
    const auto fx = static_cast<std::int64_t>(std::floor(x)), fy = static_cast<std::int64_t>(std::floor(y));
    P best = p;
    double best_d = INFINITY;
    for (std::int64_t ix = fx - 1; ix <= fx + 2; ++ix) {
        for (std::int64_t iy = fy - 1; iy <= fy + 2; ++iy) {
            const P q{ix, iy};
            if (side(l, q) < 0) continue;
            const double d = std::hypot(static_cast<double>(ix) - x, static_cast<double>(iy) - y);
            if (d < best_d) {
                best_d = d;
                best = q;
            }
        }
    }
    return best;
}

// Corner points where edge `u` (ending at v) hands over to edge `w`: the
// lines' meeting point when it lies within `lim` units of v (moved to a
// whole-unit point outside both lines), else a step across from one line to
// the other (nearly parallel lines) or a bevel between them.
//
// `within(a, b)` tells whether segment a-b stays within the tolerance of the
// two runs' pixel edges; a meeting point beyond the ends of the stretches of
// the lines the fit measured (p1 on u, p2 on w) is taken only when the
// stretches it adds pass it.
template <class Within>
void corner(const Line& u, const Line& w, const P& v, double lim, Within&& within, IRing& out) {
    if (u.k == 0 && w.k == 0) {
        out.push_back(v);
        return;
    }
    const P su = outward_shift(u), sw = outward_shift(w);
    const P p1{v.x + su.x, v.y + su.y}, p2{v.x + sw.x, v.y + sw.y};
    const long double A1 = -(u.b.y - u.a.y), B1 = u.b.x - u.a.x;
    const long double A2 = -(w.b.y - w.a.y), B2 = w.b.x - w.a.x;
    const long double C1 = u.k + A1 * u.a.x + B1 * u.a.y, C2 = w.k + A2 * w.a.x + B2 * w.a.y;
    const long double det = A1 * B2 - A2 * B1;
    if (det != 0) {
        const long double x = (C1 * B2 - C2 * B1) / det, y = (A1 * C2 - A2 * C1) / det;
        const long double dx = x - v.x, dy = y - v.y;
        if (std::sqrt(static_cast<double>(dx * dx + dy * dy)) <= lim) {
            const auto fx = static_cast<std::int64_t>(std::floor(x)), fy = static_cast<std::int64_t>(std::floor(y));
            P best;
            double best_d = INFINITY;
            for (std::int64_t ix = fx - 1; ix <= fx + 2; ++ix) {
                for (std::int64_t iy = fy - 1; iy <= fy + 2; ++iy) {
                    const P q{ix, iy};
                    if (side(u, q) < 0 || side(w, q) < 0) continue;
                    const double d = std::hypot(static_cast<double>(ix - x), static_cast<double>(iy - y));
                    if (d < best_d) {
                        best_d = d;
                        best = q;
                    }
                }
            }
            const auto ahead = [](const P& from, const P& to, const Line& l) {
                return (to.x - from.x) * (l.b.x - l.a.x) + (to.y - from.y) * (l.b.y - l.a.y);
            };
            if (std::isfinite(best_d) && (ahead(p1, best, u) <= 0 || within(p1, best)) &&
                (ahead(p2, best, w) >= 0 || within(best, p2))) {
                out.push_back(best);
                return;
            }
        }
    }
    // Nearly parallel lines at different distances from v: step from the
    // outer one straight across to the inner one. Every point of the step
    // is outside the inner line, and v stays on the mesh side whichever
    // way the lines lean (a bevel between p1 and p2 would leave it out).
    if (side(w, p1) > 0) {
        out.push_back(p1);
        const P q = foot_outside(w, p1);
        if (q != p1) out.push_back(q);
        return;
    }
    if (side(u, p2) > 0) {
        const P q = foot_outside(u, p2);
        if (q != p2) out.push_back(q);
        out.push_back(p2);
        return;
    }
    // A bevel, which leaves v inside as long as it is short next to the
    // lines' distance from v.
    out.push_back(p1);
    if (p2 == p1) return;
    if (cross(p1, p2, v) > 0) out.push_back(v);  // the bevel alone would cut v off
    out.push_back(p2);
}

}  // namespace

// Where the line x(t) = o + t d (d a unit vector) lies within r of segment
// a-b: an interval of t, since the set of points within r of a segment (a
// capsule) is convex. False when the line misses it.
static bool capsule_span(double ox, double oy, double dx, double dy, const P& a, const P& b, double r,
                         double& t0, double& t1) {
    t0 = INFINITY;
    t1 = -INFINITY;
    const auto disk = [&](const P& c) {
        const double wx = ox - static_cast<double>(c.x), wy = oy - static_cast<double>(c.y);
        const double half = dx * wx + dy * wy;
        const double disc = half * half - (wx * wx + wy * wy - r * r);
        if (disc < 0) return;
        const double root = std::sqrt(disc);
        t0 = std::min(t0, -half - root);
        t1 = std::max(t1, -half + root);
    };
    disk(a);
    disk(b);
    const double ex = static_cast<double>(b.x - a.x), ey = static_cast<double>(b.y - a.y);
    const double len = std::hypot(ex, ey);
    if (len > 0) {
        // The band along the segment: 0 <= s(t) <= len and |n(t)| <= r,
        // both linear in t.
        const double ux = ex / len, uy = ey / len;
        const double wx = ox - static_cast<double>(a.x), wy = oy - static_cast<double>(a.y);
        double lo = -INFINITY, hi = INFINITY;
        const auto between = [&](double v0, double dv, double min, double max) {
            if (dv == 0) {
                if (v0 < min || v0 > max) hi = -INFINITY;
                return;
            }
            double u0 = (min - v0) / dv, u1 = (max - v0) / dv;
            if (u0 > u1) std::swap(u0, u1);
            lo = std::max(lo, u0);
            hi = std::min(hi, u1);
        };
        between(wx * ux + wy * uy, dx * ux + dy * uy, 0, len);
        between(wx * -uy + wy * ux, dx * -uy + dy * ux, -r, r);
        if (lo <= hi) {
            t0 = std::min(t0, lo);
            t1 = std::max(t1, hi);
        }
    }
    return t0 <= t1;
}

// Whether the spans (t0, t1) cover [0, length] without a gap; sorts them.
static bool spans_cover(std::vector<std::pair<double, double>>& spans, double length) {
    std::sort(spans.begin(), spans.end());
    double reach = 0;
    for (const auto& sp : spans) {
        if (sp.first > reach) return false;
        reach = std::max(reach, sp.second);
        if (reach >= length) return true;
    }
    return reach >= length;
}

// Whether vertices a .. j (j may be n, the first again) can be replaced by
// one line: every vertex between the ends projects onto the chord, the line
// is the chord moved out to the outermost vertex (`k` is that shift, in
// cross-product units), and every point of the moved line lies within `tol`
// units of the run's edges (exactly: the spans of the line within reach of
// each edge must cover it).
static bool run_fits(const IRing& ring, std::size_t a, std::size_t j, double tol, std::int64_t& k) {
    const std::size_t n = ring.size();
    const P& pa = ring[a];
    const P& pb = ring[j % n];
    const double ex = static_cast<double>(pb.x - pa.x), ey = static_cast<double>(pb.y - pa.y);
    const double len2 = ex * ex + ey * ey;
    if (len2 <= 0) return false;
    std::int64_t hi = 0;
    for (std::size_t q = a + 1; q < j; ++q) {
        const P& v = ring[q];
        const double t = static_cast<double>(v.x - pa.x) * ex + static_cast<double>(v.y - pa.y) * ey;
        if (t < 0 || t > len2) return false;
        hi = std::max(hi, cross(pa, pb, v));
    }
    const double len = std::sqrt(len2);
    const double ux = ex / len, uy = ey / len;
    const double off = static_cast<double>(hi) / len;  // outward, along (-uy, ux)
    // Slack for the whole-unit rounding of the corners and for corners
    // that sit a little off the line.
    if (off + 2 > tol) return false;
    const double limit = tol - 2 - 1e-6;
    static thread_local std::vector<std::pair<double, double>> spans;  // scratch: this runs for every try
    spans.clear();
    const double ox = static_cast<double>(pa.x) - off * uy, oy = static_cast<double>(pa.y) + off * ux;
    for (std::size_t q = a; q < j; ++q) {
        double t0, t1;
        if (capsule_span(ox, oy, ux, uy, ring[q], ring[(q + 1) % n], limit, t0, t1)) spans.emplace_back(t0, t1);
    }
    if (!spans_cover(spans, len)) return false;
    k = hi;
    return true;
}

// Whether every point of segment p -> q lies within `tol` units of the
// ring's edges from..to (indices taken modulo the ring's size), exactly as
// in run_fits.
static bool edge_within(const P& p, const P& q, const IRing& ring, std::size_t from, std::size_t to, double tol) {
    const std::size_t n = ring.size();
    const double limit = tol - 1e-6;
    if (limit <= 0) return p == q;
    const double ex = static_cast<double>(q.x - p.x), ey = static_cast<double>(q.y - p.y);
    const double len = std::hypot(ex, ey);
    if (len == 0) {
        for (std::size_t k = from; k < to; ++k) {
            double t0, t1;
            if (capsule_span(static_cast<double>(p.x), static_cast<double>(p.y), 1, 0, ring[k % n],
                             ring[(k + 1) % n], limit, t0, t1) && t0 <= 0 && t1 >= 0) {
                return true;
            }
        }
        return false;
    }
    static thread_local std::vector<std::pair<double, double>> spans;  // scratch, as in run_fits
    spans.clear();
    const double bx0 = static_cast<double>(std::min(p.x, q.x)) - limit, bx1 = static_cast<double>(std::max(p.x, q.x)) + limit;
    const double by0 = static_cast<double>(std::min(p.y, q.y)) - limit, by1 = static_cast<double>(std::max(p.y, q.y)) + limit;
    for (std::size_t k = from; k < to; ++k) {
        const P& v = ring[k % n];
        const P& w = ring[(k + 1) % n];
        if (static_cast<double>(std::max(v.x, w.x)) < bx0 || static_cast<double>(std::min(v.x, w.x)) > bx1 ||
            static_cast<double>(std::max(v.y, w.y)) < by0 || static_cast<double>(std::min(v.y, w.y)) > by1) {
            continue;
        }
        double t0, t1;
        if (capsule_span(static_cast<double>(p.x), static_cast<double>(p.y), ex / len, ey / len, v, w, limit, t0, t1)) {
            spans.emplace_back(t0, t1);
        }
    }
    return spans_cover(spans, len);
}

IRing LineFit::simplify(int id, const IRing& original, double tol, Stop& stop, std::vector<int>& anchors) {
    if (original.size() >= 5 && tol > 0) {
        IRing fitted;
        if (fit_lines(id, original, tol, stop, fitted, anchors)) return fitted;
    }
    return simplify_subset(id, original, tol, stop, anchors);
}

std::vector<int> LineFit::reinsert(int id, const IRing& original) {
    remove(id);
    const std::size_t n = original.size();
    std::vector<int> recs(n);
    for (std::size_t i = 0; i < n; ++i) recs[i] = insert(original[i], original[(i + 1) % n], id);
    return recs;
}

// The fit of one ring: one line per run of original corners, the run
// starting at anchors[i] (original corners anchors[i] .. anchors[i + 1]).
struct LineFit::Runs {
    std::vector<Line> lines;
    std::vector<std::size_t> anchors;
};

// One round's candidate ring: the runs with the failed ones put back as
// their original edges (ls, an as lines and anchors), the corners where
// the lines meet, and the ring they make.
struct LineFit::Trial {
    std::vector<Line> ls;
    std::vector<std::size_t> an;
    std::vector<IRing> corners;       // per line, the corner points where it starts
    IRing fitted;
    std::vector<std::size_t> edge_run;  // per fitted edge: the line it belongs to
    std::vector<int> recs;              // per fitted edge: its segment in the grid
};

namespace {

// The longest run of corners from `a` that fits in a band of `tol` units
// (galloping, then bisecting: the test is not monotone in the run's length,
// but nearly), with the band's offset in `run_k`; a + 1 when none does.
// Runs end on convex corners where they can: a line that starts at a reflex
// (inner) corner must be moved out past the next outer one and then strays
// from the pixels right at its start.
std::size_t longest_run(const IRing& original, std::size_t a, double tol, std::size_t lines_so_far,
                        std::int64_t& run_k) {
    const std::size_t n = original.size();
    const std::size_t jmax = std::min(a + kMaxSkip, a == 0 ? n - 2 : n);
    std::size_t cand = a + 1;
    run_k = 0;
    const auto reflex = [&](std::size_t j) {
        return cross(original[(j + n - 1) % n], original[j % n], original[(j + 1) % n]) > 0;
    };
    const auto try_run = [&](std::size_t& j, std::int64_t& k) {
        if (j > a + 2 && reflex(j)) --j;
        if (j == n && lines_so_far < 3) return false;
        return run_fits(original, a, j, tol, k);
    };
    std::size_t lo = a + 1, hi = jmax + 1;
    for (std::size_t step = 1; a + 1 + step <= jmax; step *= 2) {
        std::int64_t k = 0;
        std::size_t j = a + 1 + step;
        if (!try_run(j, k)) {
            hi = a + 1 + step;
            break;
        }
        lo = a + 1 + step;
        cand = j;
        run_k = k;
    }
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        std::int64_t k = 0;
        std::size_t j = mid;
        if (try_run(j, k)) {
            lo = mid;
            if (j > cand) {
                cand = j;
                run_k = k;
            }
        } else {
            hi = mid;
        }
    }
    return cand;
}

// The lines of the runs, with the runs that failed (`reset`) put back as
// their original edges.
void expand_reset_runs(const LineFit::Runs& runs, const std::vector<char>& reset, const IRing& original,
                       std::vector<Line>& ls, std::vector<std::size_t>& an) {
    const std::size_t n = original.size();
    for (std::size_t i = 0; i < runs.lines.size(); ++i) {
        const std::size_t b = i + 1 < runs.lines.size() ? runs.anchors[i + 1] : n;
        if (!reset[i] || b == runs.anchors[i] + 1) {
            ls.push_back(runs.lines[i]);
            an.push_back(runs.anchors[i]);
            continue;
        }
        for (std::size_t q = runs.anchors[i]; q < b; ++q) {
            ls.push_back({original[q], original[(q + 1) % n], 0});
            an.push_back(q);
        }
    }
}

// The stretch of original corners from the run before line i to the one
// after line i + reach - 1 (all of them when there are few lines).
void neighbour_span(const std::vector<std::size_t>& an, std::size_t i, std::size_t reach, std::size_t n,
                    std::size_t& start, std::size_t& end) {
    const std::size_t m = an.size();
    start = 0;
    end = n;
    if (m > reach + 1) {
        start = an[(i + m - 1) % m];
        end = an[(i + reach) % m];
        if (end <= start) end += n;
    }
}

// Joins the lines at their corners into the ring they make. Lines may meet
// up to 4 tolerances from their shared vertex: a line through its run's
// ends and a neighbour moved out by a fraction of a pixel meet far along
// when they turn by a few degrees only. What that adds to the lines is
// measured first; the checks after put back whatever else strays.
void join_lines(LineFit::Trial& t, const IRing& original, double tol, std::vector<int>& out_anchors) {
    const std::size_t n = original.size(), m = t.ls.size();
    t.corners.assign(m, IRing());
    for (std::size_t i = 0; i < m; ++i) {
        const auto within = [&](const P& p, const P& q) {
            std::size_t start, end;
            neighbour_span(t.an, i, 1, n, start, end);
            return edge_within(p, q, original, start, end, tol);
        };
        corner(t.ls[(i + m - 1) % m], t.ls[i], original[t.an[i]], 4 * tol, within, t.corners[i]);
    }
    out_anchors.clear();
    for (std::size_t i = 0; i < m; ++i) {
        for (const P& c : t.corners[i]) {
            t.fitted.push_back(c);
            t.edge_run.push_back(i);
            out_anchors.push_back(static_cast<int>(t.an[i]));
        }
    }
}

// A ring too small, flat or turned over to be checked at all.
bool degenerate(const IRing& fitted, const IRing& original) {
    return fitted.size() < 3 || area2(fitted) == 0 || (area2(fitted) > 0) != (area2(original) > 0);
}

// Marks line r and its two neighbours.
void mark_around(std::vector<char>& bad, std::size_t r) {
    const std::size_t m = bad.size();
    bad[r] = 1;
    bad[(r + m - 1) % m] = 1;
    bad[(r + 1) % m] = 1;
}

// Coverage: every original vertex stays on the mesh side of the fitted ring
// (inside an outer ring, not strictly inside a hole), and no fitted vertex
// on the pixels' side of the original.
void mark_uncovered(const LineFit::Trial& t, const IRing& original, Stop& stop, std::vector<char>& bad) {
    const std::size_t n = original.size(), f = t.fitted.size();
    const bool hole = area2(original) > 0;
    const RingBands own(original);
    for (std::size_t i = 0; i < f; ++i) {
        if ((i & 1023) == 0) stop.poll();
        const P& p = t.fitted[i];
        if (hole ? own.in_closed(p) : (!own.in_closed(p) || own.on(p))) continue;
        mark_around(bad, t.edge_run[i]);
    }
    const RingBands bands(t.fitted);
    for (std::size_t q = 0; q < n; ++q) {
        if ((q & 1023) == 0) stop.poll();
        const P& v = original[q];
        if (bands.in_closed(v) != hole) continue;
        if (hole && bands.on(v)) continue;
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(t.an.begin(), t.an.end(), q) - t.an.begin() - 1);
        mark_around(bad, i);
    }
}

// Maps the failing lines of a round back to the runs of the fit.
void reset_failed_runs(const std::vector<char>& bad, const std::vector<std::size_t>& an,
                       const std::vector<std::size_t>& anchors, std::vector<char>& reset) {
    for (std::size_t i = 0; i < bad.size(); ++i) {
        if (!bad[i]) continue;
        const std::size_t at = static_cast<std::size_t>(
            std::upper_bound(anchors.begin(), anchors.end(), an[i]) - anchors.begin() - 1);
        reset[at] = 1;
    }
}

}  // namespace

bool LineFit::fit_lines(int id, const IRing& original, double tol, Stop& stop, IRing& result,
                        std::vector<int>& out_anchors) {
    const std::vector<int> recs = reinsert(id, original);
    const Runs runs = place_lines(id, original, recs, tol, stop);
    // Finish the ring, check it against everything else (the provisional
    // edges only approximated it near the corners) and, where a line or a
    // corner fails, put that stretch back as the original edges; a few
    // rounds, then give up on lines for this ring.
    std::vector<char> reset(runs.lines.size(), 0);
    for (int round = 0; round < 6; ++round) {
        Trial t;
        expand_reset_runs(runs, reset, original, t.ls, t.an);
        join_lines(t, original, tol, out_anchors);
        enter_ring(id, t);
        if (degenerate(t.fitted, original)) break;
        std::vector<char> bad(t.ls.size(), 0);
        mark_failed_edges(id, t, original, recs, tol, stop, bad);
        mark_swept_vertices(id, t, original, stop, bad);
        mark_uncovered(t, original, stop, bad);
        if (std::find(bad.begin(), bad.end(), 1) == bad.end()) {
            result = std::move(t.fitted);
            return true;
        }
        reset_failed_runs(bad, t.an, runs.anchors, reset);
    }
    return false;
}

LineFit::Runs LineFit::place_lines(int id, const IRing& original, const std::vector<int>& recs, double tol,
                                   Stop& stop) {
    const std::size_t n = original.size();
    Runs runs;
    runs.anchors.push_back(0);
    std::vector<int> out_recs;
    std::size_t a = 0;
    while (a < n) {
        stop.poll();  // once per run: a advances by varying steps
        std::int64_t cand_k = 0;
        const std::size_t cand = longest_run(original, a, tol, runs.anchors.size(), cand_k);
        std::size_t take = a + 1;
        int rec = recs[a];
        Line line{original[a], original[(a + 1) % n], 0};
        if (cand > a + 1 && place_run(id, original, recs, out_recs, a, cand, tol, cand_k, take, rec)) {
            line = Line{original[a], original[take % n], cand_k};
        }
        out_recs.push_back(rec);
        runs.lines.push_back(line);
        if (take < n) runs.anchors.push_back(take);
        a = take;
    }
    for (int sg : out_recs) segs_[sg].alive = false;
    return runs;
}

bool LineFit::place_run(int id, const IRing& original, const std::vector<int>& recs, const std::vector<int>& out_recs,
                        std::size_t a, std::size_t cand, double tol, std::int64_t& k_io, std::size_t& take, int& rec) {
    // The longest run first, then halves of it, until a line through one
    // is clear of every other edge and vertex.
    const std::size_t n = original.size();
    const P& pa = original[a];
    const int prev = a == 0 ? recs[n - 1] : out_recs.back();
    std::vector<int> skip;
    IRing chain;
    for (std::size_t span = cand - a; span >= 2; span /= 2) {
        const std::size_t j = a + span;
        const P& pb = original[j % n];
        // A shorter run must fit on its own.
        std::int64_t k = k_io;
        if (span != cand - a && !run_fits(original, a, j, tol, k)) continue;
        const Line l{pa, pb, k};
        const P sh = outward_shift(l);
        const P a2{pa.x + sh.x, pa.y + sh.y}, b2{pb.x + sh.x, pb.y + sh.y};
        const int next = j < n ? recs[j] : out_recs.front();
        skip.assign(recs.begin() + static_cast<std::ptrdiff_t>(a), recs.begin() + static_cast<std::ptrdiff_t>(j));
        chain.assign(original.begin() + static_cast<std::ptrdiff_t>(a),
                     original.begin() + static_cast<std::ptrdiff_t>(std::min(j, n - 1) + 1));
        if (j == n) chain.push_back(original[0]);
        if (k != 0) {
            chain.push_back(b2);
            chain.push_back(a2);
        }
        if (!blocked(a2, b2, skip, prev, next, chain)) {
            for (int sg : skip) segs_[sg].alive = false;
            rec = insert(a2, b2, id);
            take = j;
            k_io = k;
            return true;
        }
    }
    return false;
}

void LineFit::enter_ring(int id, Trial& t) {
    remove(id);
    for (std::size_t i = 0; i < t.fitted.size(); ++i) {
        t.recs.push_back(insert(t.fitted[i], t.fitted[(i + 1) % t.fitted.size()], id));
    }
    ring_segs_[id] = t.recs;
}

void LineFit::mark_failed_edges(int id, const Trial& t, const IRing& original, const std::vector<int>& recs,
                                double tol, Stop& stop, std::vector<char>& bad) {
    const std::size_t n = original.size(), m = t.ls.size(), f = t.fitted.size();
    for (std::size_t i = 0; i < f; ++i) {
        if ((i & 63) == 0) stop.poll();
        const P& p = t.fitted[i];
        const P& q = t.fitted[(i + 1) % f];
        ++clock_;
        stamp_[t.recs[i]] = clock_;
        stamp_[t.recs[(i + 1) % f]] = clock_;
        stamp_[t.recs[(i + f - 1) % f]] = clock_;
        const Seg& nx = segs_[t.recs[(i + 1) % f]];
        const Seg& pv = segs_[t.recs[(i + f - 1) % f]];
        bool fail = on_segment(p, q, nx.b) || on_segment(p, q, pv.a) || on_segment(nx.a, nx.b, p) ||
                    on_segment(pv.a, pv.b, q);
        {
            // What is output is what is measured: the edge against the
            // original edges of its own line and the neighbouring ones.
            std::size_t start, end;
            neighbour_span(t.an, t.edge_run[i], 2, n, start, end);
            if (!edge_within(p, q, original, start, end, tol)) fail = true;
        }
        int other = -1;
        fail = fail || any_unstamped_near(p, q, [&](int sg, const Seg& g) {
            if (g.alive && meet(p, q, g.a, g.b)) {
                if (g.ring == id) other = sg;
                return true;
            }
            // The ring's own original edges (no longer alive) may be
            // touched but never crossed.
            return !g.alive && sg >= recs.front() && sg <= recs.back() && crosses(p, q, g.a, g.b);
        });
        if (!fail) continue;
        mark_around(bad, t.edge_run[i]);
        if (other >= 0) {
            for (std::size_t e = 0; e < f; ++e) {
                if (t.recs[e] == other) {
                    bad[t.edge_run[e]] = 1;
                    bad[(t.edge_run[e] + m - 1) % m] = 1;
                }
            }
        }
    }
}

void LineFit::mark_swept_vertices(int id, const Trial& t, const IRing& original, Stop& stop,
                                  std::vector<char>& bad) {
    // No vertex of another ring in the area a line and its corners added.
    const std::size_t n = original.size(), m = t.ls.size();
    IRing chain;
    for (std::size_t i = 0; i < m; ++i) {
        if ((i & 255) == 0) stop.poll();
        if (t.ls[i].k == 0 && t.corners[i].size() == 1 && t.corners[(i + 1) % m].size() == 1 &&
            t.corners[i][0] == original[t.an[i]]) {
            continue;  // an original edge
        }
        const std::size_t b = i + 1 < m ? t.an[i + 1] : n;
        chain.assign(original.begin() + static_cast<std::ptrdiff_t>(t.an[i]),
                     original.begin() + static_cast<std::ptrdiff_t>(std::min(b, n - 1) + 1));
        if (b == n) chain.push_back(original[0]);
        const IRing& c1 = t.corners[(i + 1) % m];
        const IRing& c0 = t.corners[i];
        for (auto it = c1.rbegin(); it != c1.rend(); ++it) chain.push_back(*it);
        for (auto it = c0.rbegin(); it != c0.rend(); ++it) chain.push_back(*it);
        if (corner_inside(chain, [&](int, const Seg& g) { return !g.alive || g.ring == id; })) bad[i] = 1;
    }
}

IRing LineFit::simplify_subset(int id, const IRing& original, double tol, Stop& stop, std::vector<int>& anchors) {
    const std::size_t n = original.size();
    const std::vector<int> recs = reinsert(id, original);
    anchors.clear();
    if (n < 5 || tol <= 0) {
        ring_segs_[id] = recs;
        for (std::size_t i = 0; i < n; ++i) anchors.push_back(static_cast<int>(i));
        return original;
    }
    const double tol2 = tol * tol;
    IRing out{original[0]};
    anchors.push_back(0);
    std::vector<int> out_recs;
    std::vector<int> skip;
    IRing chain;
    std::size_t a = 0;
    while (a < n) {
        stop.poll();  // once per run: a advances by varying steps
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
        if (take < n) {
            out.push_back(original[take]);
            anchors.push_back(static_cast<int>(take));
        }
        a = take;
    }
    ring_segs_[id] = out_recs;
    return out;
}

}  // namespace sprite
}  // namespace vellumcut
