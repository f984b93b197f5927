#include "sprite_guarantees.hpp"

#include <gmpxx.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace vellumcut::fuzz {

namespace {

using Q = mpq_class;

constexpr double kHalf = 0.5;

struct Pt {
    double x = 0, y = 0;
};

bool same(const Pt& a, const Pt& b) { return a.x == b.x && a.y == b.y; }

Q exact(double v) { return Q(v); }  // every finite double is a rational exactly

std::string fmt(const char* f, double a, double b) {
    char text[96];
    std::snprintf(text, sizeof text, f, a, b);
    return text;
}

std::string at(const Pt& p) { return fmt("(%.17g, %.17g)", p.x, p.y); }

// Sign of the cross product (b - a) x (c - a). Doubles decide when the
// result clears Shewchuk's error bound for this expression (3.3e-16 of the
// summed products' magnitudes; 1e-14 is used); rationals decide the rest.
int orient(const Pt& a, const Pt& b, const Pt& c) {
    const double l = (b.x - a.x) * (c.y - a.y);
    const double r = (b.y - a.y) * (c.x - a.x);
    const double det = l - r;
    const double err = 1e-14 * (std::fabs(l) + std::fabs(r));
    if (det > err) return 1;
    if (det < -err) return -1;
    const Q e = (exact(b.x) - exact(a.x)) * (exact(c.y) - exact(a.y)) -
                (exact(b.y) - exact(a.y)) * (exact(c.x) - exact(a.x));
    return sgn(e);
}

// p on the closed segment a-b, given that the three are collinear.
bool between(const Pt& a, const Pt& b, const Pt& p) {
    return std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
           p.y <= std::max(a.y, b.y);
}

// Whether the closed segments a-b and c-d share a point.
bool segments_meet(const Pt& a, const Pt& b, const Pt& c, const Pt& d) {
    const int o1 = orient(a, b, c), o2 = orient(a, b, d), o3 = orient(c, d, a), o4 = orient(c, d, b);
    if (o1 * o2 < 0 && o3 * o4 < 0) return true;
    return (o1 == 0 && between(a, b, c)) || (o2 == 0 && between(a, b, d)) || (o3 == 0 && between(c, d, a)) ||
           (o4 == 0 && between(c, d, b));
}

// Twice the signed (shoelace) area's sign.
int area_sign(const std::vector<Pt>& r) {
    double s = 0, mag = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        const Pt& a = r[i];
        const Pt& b = r[(i + 1) % r.size()];
        s += a.x * b.y - b.x * a.y;
        mag += std::fabs(a.x * b.y) + std::fabs(b.x * a.y);
    }
    if (std::fabs(s) > 1e-12 * mag * static_cast<double>(r.size() + 1)) return s > 0 ? 1 : -1;
    Q e = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        const Pt& a = r[i];
        const Pt& b = r[(i + 1) % r.size()];
        e += exact(a.x) * exact(b.y) - exact(b.x) * exact(a.y);
    }
    return sgn(e);
}

// Winding number of a closed chain of edges around p (p on no edge):
// Sunday's crossing rule, counter-clockwise in x-right y-up algebra counts +1.
template <class Edges>
int winding(const Edges& edges, const Pt& p) {
    int w = 0;
    for (const auto& [a, b] : edges) {
        if (a.y <= p.y) {
            if (b.y > p.y && orient(a, b, p) > 0) ++w;
        } else if (b.y <= p.y && orient(a, b, p) < 0) {
            --w;
        }
    }
    return w;
}

// --- distances, generic over double (a filter) and Q (the decision) ---------

template <class T>
T point_box_d2(const T& x, const T& y, const T& lx, const T& ly, const T& hx, const T& hy) {
    T gx = 0, gy = 0;
    if (x < lx) gx = lx - x;
    if (x > hx) gx = x - hx;
    if (y < ly) gy = ly - y;
    if (y > hy) gy = y - hy;
    return gx * gx + gy * gy;
}

template <class T>
T point_segment_d2(const T& px, const T& py, const T& ax, const T& ay, const T& bx, const T& by) {
    const T dx = bx - ax, dy = by - ay;
    const T dd = dx * dx + dy * dy;
    T t = 0;
    if (dd > 0) {
        t = ((px - ax) * dx + (py - ay) * dy) / dd;
        if (t < 0) t = 0;
        if (t > 1) t = 1;
    }
    const T cx = ax + t * dx - px, cy = ay + t * dy - py;
    return cx * cx + cy * cy;
}

// Whether segment a-b meets the box [lx, hx] x [ly, hy], closed or open.
template <class T>
bool segment_meets_box(const T& ax, const T& ay, const T& bx, const T& by, const T& lx, const T& ly, const T& hx,
                       const T& hy, bool open) {
    T lo = 0, hi = 1;
    bool lo_open = false, hi_open = false;
    const T a[2] = {ax, ay}, d[2] = {bx - ax, by - ay}, l[2] = {lx, ly}, h[2] = {hx, hy};
    for (int k = 0; k < 2; ++k) {
        if (d[k] == 0) {
            if (open ? !(l[k] < a[k] && a[k] < h[k]) : !(l[k] <= a[k] && a[k] <= h[k])) return false;
            continue;
        }
        T enter = (l[k] - a[k]) / d[k], leave = (h[k] - a[k]) / d[k];
        if (d[k] < 0) std::swap(enter, leave);
        if (enter > lo) {
            lo = enter;
            lo_open = open;
        } else if (enter == lo) {
            lo_open = lo_open || open;
        }
        if (leave < hi) {
            hi = leave;
            hi_open = open;
        } else if (leave == hi) {
            hi_open = hi_open || open;
        }
    }
    return lo < hi || (lo == hi && !lo_open && !hi_open);
}

// Squared distance between segment a-b and the closed box: 0 when they
// meet, else reached at an end of the segment or a corner of the box.
template <class T>
T segment_box_d2(const T& ax, const T& ay, const T& bx, const T& by, const T& lx, const T& ly, const T& hx,
                 const T& hy) {
    if (segment_meets_box(ax, ay, bx, by, lx, ly, hx, hy, false)) return T(0);
    T best = point_box_d2(ax, ay, lx, ly, hx, hy);
    const T cand[] = {point_box_d2(bx, by, lx, ly, hx, hy), point_segment_d2(lx, ly, ax, ay, bx, by),
                      point_segment_d2(hx, ly, ax, ay, bx, by), point_segment_d2(lx, hy, ax, ay, bx, by),
                      point_segment_d2(hx, hy, ax, ay, bx, by)};
    for (const T& c : cand) {
        if (c < best) best = c;
    }
    return best;
}

// --- numbers a + s sqrt(d), for where a segment enters a rounded square ---

struct Root {
    Q a;
    Q d;        // >= 0
    int s = 0;  // -1, 0, 1
    double approx() const { return a.get_d() + s * std::sqrt(d.get_d()); }
};

Root rational(const Q& v) { return {v, Q(0), 0}; }

// sign(A + s1 sqrt(d1) + s2 sqrt(d2)), exactly.
int sign_sum(const Q& A, int s1, const Q& d1, int s2, const Q& d2) {
    if (sgn(d1) == 0) s1 = 0;
    if (sgn(d2) == 0) s2 = 0;
    int su;  // sign of u = s1 sqrt(d1) + s2 sqrt(d2)
    if (s1 == 0 || s2 == 0 || s1 == s2) {
        su = s1 != 0 ? s1 : s2;
    } else {
        const int c = cmp(d1, d2);
        su = c > 0 ? s1 : (c < 0 ? s2 : 0);
    }
    const int sa = sgn(A);
    if (su == 0) return sa;
    if (sa == 0) return su;
    if (sa == su) return sa;
    // Opposite signs: |A| against |u|, through A^2 - u^2 = B + k sqrt(e)
    // with B = A^2 - d1 - d2, k = -s1 s2, e = 4 d1 d2.
    const Q B = A * A - d1 - d2;
    const int k = -s1 * s2;
    const Q e = 4 * d1 * d2;
    const int sb = sgn(B);
    int bigger;  // sign of A^2 - u^2
    if (k == 0 || sgn(e) == 0) {
        bigger = sb;
    } else if (sb == 0 || sb == k) {
        bigger = k;
    } else {
        const int c = cmp(B * B, e);
        bigger = c > 0 ? sb : (c < 0 ? k : 0);
    }
    return bigger > 0 ? sa : (bigger < 0 ? su : 0);
}

int compare(const Root& x, const Root& y) { return sign_sum(x.a - y.a, x.s, x.d, -y.s, y.d); }
const Root& max_of(const Root& x, const Root& y) { return compare(x, y) >= 0 ? x : y; }
const Root& min_of(const Root& x, const Root& y) { return compare(x, y) <= 0 ? x : y; }

struct Span {
    Root lo, hi;
};

// Where the segment A + t D, t in [0, 1], lies within sqrt(b2) of the
// square of side 1 centred on c: the square grown by that distance is two
// rectangles and four discs, and convex, so its parameters form one
// interval, the union of the six pieces' intervals. False when empty.
bool rounded_square_span(const Q& ax, const Q& ay, const Q& dx, const Q& dy, const Q& cx, const Q& cy, const Q& b2,
                         Span& out) {
    const Root zero = rational(Q(0)), one = rational(Q(1));
    bool any = false;
    const auto take = [&](const Root& lo, const Root& hi) {
        if (compare(lo, hi) > 0) return;
        if (!any) {
            out = {lo, hi};
            any = true;
        } else {
            out.lo = min_of(out.lo, lo);
            out.hi = max_of(out.hi, hi);
        }
    };
    const Q h(1, 2);
    // Rectangles: grown along x, then along y (bounds a + s sqrt(b2)).
    for (int grown = 0; grown < 2; ++grown) {
        Root lo = zero, hi = one;
        bool empty = false;
        const Q a[2] = {ax, ay}, d[2] = {dx, dy}, c[2] = {cx, cy};
        for (int k = 0; k < 2 && !empty; ++k) {
            const bool wide = k == grown;
            const Root low{c[k] - h, wide ? b2 : Q(0), wide ? -1 : 0};
            const Root high{c[k] + h, wide ? b2 : Q(0), wide ? 1 : 0};
            if (sgn(d[k]) == 0) {
                const Root here = rational(a[k]);
                empty = compare(low, here) > 0 || compare(here, high) > 0;
                continue;
            }
            const int sd = sgn(d[k]);
            const Q dd = d[k] * d[k];
            Root enter{(low.a - a[k]) / d[k], low.d / dd, low.s * sd};
            Root leave{(high.a - a[k]) / d[k], high.d / dd, high.s * sd};
            if (sd < 0) std::swap(enter, leave);
            lo = max_of(lo, enter);
            hi = min_of(hi, leave);
        }
        if (!empty) take(lo, hi);
    }
    // Discs at the corners: |A + t D - C|^2 = b2.
    const Q alpha = dx * dx + dy * dy;
    for (int sx = -1; sx <= 1; sx += 2) {
        for (int sy = -1; sy <= 1; sy += 2) {
            const Q fx = ax - (cx + sx * h), fy = ay - (cy + sy * h);
            const Q beta = dx * fx + dy * fy;
            const Q gamma = fx * fx + fy * fy - b2;
            const Q disc = beta * beta - alpha * gamma;
            if (sgn(disc) < 0) continue;
            const Q mid = -beta / alpha, spread = disc / (alpha * alpha);
            take(max_of(zero, Root{mid, spread, -1}), min_of(one, Root{mid, spread, 1}));
        }
    }
    return any;
}

// The same interval on the whole line, in doubles (approximate, unclipped).
bool rounded_square_span_approx(const Pt& a, double dx, double dy, double cx, double cy, double b, double& lo,
                                double& hi) {
    lo = INFINITY;
    hi = -INFINITY;
    const double inf = INFINITY;
    for (int grown = 0; grown < 2; ++grown) {
        double l = -inf, u = inf;
        const double p[2] = {a.x, a.y}, d[2] = {dx, dy}, c[2] = {cx, cy};
        bool empty = false;
        for (int k = 0; k < 2; ++k) {
            const double r = kHalf + (k == grown ? b : 0.0);
            if (d[k] == 0) {
                empty = empty || p[k] < c[k] - r || p[k] > c[k] + r;
                continue;
            }
            double e = (c[k] - r - p[k]) / d[k], f = (c[k] + r - p[k]) / d[k];
            if (d[k] < 0) std::swap(e, f);
            l = std::max(l, e);
            u = std::min(u, f);
        }
        if (!empty && l <= u) {
            lo = std::min(lo, l);
            hi = std::max(hi, u);
        }
    }
    const double alpha = dx * dx + dy * dy;
    for (int sx = -1; sx <= 1; sx += 2) {
        for (int sy = -1; sy <= 1; sy += 2) {
            const double fx = a.x - (cx + sx * kHalf), fy = a.y - (cy + sy * kHalf);
            const double beta = dx * fx + dy * fy;
            const double disc = beta * beta - alpha * (fx * fx + fy * fy - b * b);
            if (disc < 0) continue;
            const double root = std::sqrt(disc);
            lo = std::min(lo, (-beta - root) / alpha);
            hi = std::max(hi, (-beta + root) / alpha);
        }
    }
    return lo <= hi;
}

// --- the mesh as positions --------------------------------------------------

struct RingInfo {
    int part = 0, index = 0;
    std::vector<Pt> pts;
    int sign = 0;  // of the signed area: -1 outer, 1 hole
};

using Edge = std::pair<Pt, Pt>;

class Report {
public:
    void add(const std::string& kind, const std::string& text) {
        int& n = counts_[kind];
        if (++n <= 4) lines_.push_back(text);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out = lines_;
        for (const auto& [kind, n] : counts_) {
            if (n > 4) out.push_back("... and " + std::to_string(n - 4) + " more: " + kind);
        }
        return out;
    }
    bool empty() const { return lines_.empty(); }

private:
    std::vector<std::string> lines_;
    std::map<std::string, int> counts_;
};

Pt vertex(const sprite::PartMesh& p, std::int32_t i) {
    return {p.v[2 * static_cast<std::size_t>(i)], p.v[2 * static_cast<std::size_t>(i) + 1]};
}

bool structure_ok(const sprite::Result& res, int border, const cv::Mat& alpha, Report& rep) {
    if (res.w != alpha.cols + 2 * border || res.h != alpha.rows + 2 * border) {
        rep.add("size", "mask frame " + std::to_string(res.w) + " x " + std::to_string(res.h) + " for an image of " +
                            std::to_string(alpha.cols) + " x " + std::to_string(alpha.rows));
    }
    bool ok = true;
    for (std::size_t pi = 0; pi < res.parts.size(); ++pi) {
        const sprite::PartMesh& p = res.parts[pi];
        const std::string name = "part " + std::to_string(pi);
        const auto n = static_cast<std::int64_t>(p.v.size() / 2);
        if (p.v.size() % 2 != 0 || p.idx.size() % 3 != 0) {
            rep.add("structure", name + ": odd coordinate or index count");
            ok = false;
            continue;
        }
        for (double c : p.v) {
            if (!std::isfinite(c)) {
                rep.add("structure", name + ": a coordinate is not finite");
                ok = false;
                break;
            }
        }
        for (std::int32_t i : p.idx) {
            if (i < 0 || i >= n) {
                rep.add("structure", name + ": a triangle index is out of range");
                ok = false;
                break;
            }
        }
        if (p.idx.empty()) rep.add("structure", name + " has no triangles");
        if (p.rings.empty()) rep.add("structure", name + " has no rings");
        for (const auto& r : p.rings) {
            if (r.size() < 3) {
                rep.add("structure", name + ": a ring of " + std::to_string(r.size()) + " points");
                ok = false;
            }
            for (std::int32_t i : r) {
                if (i < 0 || i >= n) {
                    rep.add("structure", name + ": a ring index is out of range");
                    ok = false;
                    break;
                }
            }
        }
    }
    return ok;
}

// Triangles one way round, none flat, and their boundary equal to the
// rings; returns the boundary edges of every part, counter-clockwise.
std::vector<Edge> triangle_boundary(const sprite::Result& res, Report& rep) {
    std::vector<Edge> boundary;
    int wound = 0;
    for (std::size_t pi = 0; pi < res.parts.size(); ++pi) {
        const sprite::PartMesh& p = res.parts[pi];
        const std::string name = "part " + std::to_string(pi);
        std::map<std::pair<double, double>, std::size_t> id;
        std::vector<Pt> pos;
        const auto canon = [&](std::int32_t i) {
            const Pt q = vertex(p, i);
            const auto [it, fresh] = id.emplace(std::make_pair(q.x, q.y), pos.size());
            if (fresh) pos.push_back(q);
            return it->second;
        };
        using Key = std::pair<std::size_t, std::size_t>;
        std::map<Key, int> count;
        for (std::size_t t = 0; t < p.idx.size(); t += 3) {
            std::size_t a = canon(p.idx[t]), b = canon(p.idx[t + 1]), c = canon(p.idx[t + 2]);
            const int o = orient(pos[a], pos[b], pos[c]);
            if (o == 0) {
                rep.add("flat triangle", name + ": triangle " + std::to_string(t / 3) + " has no area, at " +
                                             at(pos[a]));
                continue;
            }
            if (wound == 0) wound = o;
            if (o != wound) rep.add("winding", name + ": triangles are not all wound one way");
            if (o < 0) std::swap(b, c);
            ++count[{a, b}];
            ++count[{b, c}];
            ++count[{c, a}];
        }
        std::map<Key, int> chain;
        for (const auto& [e, n] : count) {
            const auto back = count.find({e.second, e.first});
            const int net = n - (back == count.end() ? 0 : back->second);
            if (net > 0) chain[e] = net;
        }
        // Counter-clockwise triangles bound their union counter-clockwise;
        // outer rings run clockwise (negative area), so compare reversed.
        std::map<Key, int> rings;
        for (const auto& r : p.rings) {
            for (std::size_t k = 0; k < r.size(); ++k) ++rings[{canon(r[(k + 1) % r.size()]), canon(r[k])}];
        }
        if (chain != rings) {
            std::string where;
            for (const auto& [e, n] : chain) {
                const auto it = rings.find(e);
                if (it == rings.end() || it->second != n) {
                    where = " (e.g. triangle edge " + at(pos[e.first]) + "-" + at(pos[e.second]) + ")";
                    break;
                }
            }
            for (const auto& [e, n] : rings) {
                if (!where.empty()) break;
                const auto it = chain.find(e);
                if (it == chain.end() || it->second != n) {
                    where = " (e.g. ring edge " + at(pos[e.second]) + "-" + at(pos[e.first]) + ")";
                }
            }
            rep.add("boundary", name + ": the triangles' boundary is not its rings" + where);
        }
        for (const auto& [e, n] : chain) {
            for (int k = 0; k < n; ++k) boundary.emplace_back(pos[e.first], pos[e.second]);
        }
    }
    return boundary;
}

// Rings of at least three distinct points that never cross or touch, and
// nest so that the region has winding number 0 or 1 everywhere.
void check_rings(const std::vector<RingInfo>& rings, Report& rep) {
    struct Seg {
        Pt a, b;
        std::size_t ring, k;
    };
    std::vector<Seg> segs;
    for (std::size_t ri = 0; ri < rings.size(); ++ri) {
        const auto& pts = rings[ri].pts;
        for (std::size_t k = 0; k < pts.size(); ++k) {
            const Pt& a = pts[k];
            const Pt& b = pts[(k + 1) % pts.size()];
            if (same(a, b)) {
                rep.add("ring", "ring " + std::to_string(rings[ri].index) + " of part " +
                                    std::to_string(rings[ri].part) + " repeats the point " + at(a));
                return;
            }
            segs.push_back({a, b, ri, k});
        }
    }
    const auto name = [&](std::size_t ri) {
        return "ring " + std::to_string(rings[ri].index) + " of part " + std::to_string(rings[ri].part);
    };
    std::sort(segs.begin(), segs.end(),
              [](const Seg& u, const Seg& v) { return std::min(u.a.x, u.b.x) < std::min(v.a.x, v.b.x); });
    bool crossed = false;
    for (std::size_t i = 0; i < segs.size(); ++i) {
        const Seg& s = segs[i];
        const double right = std::max(s.a.x, s.b.x);
        for (std::size_t j = i + 1; j < segs.size() && std::min(segs[j].a.x, segs[j].b.x) <= right; ++j) {
            const Seg& t = segs[j];
            if (std::max(s.a.y, s.b.y) < std::min(t.a.y, t.b.y) || std::max(t.a.y, t.b.y) < std::min(s.a.y, s.b.y)) {
                continue;
            }
            bool bad;
            if (s.ring == t.ring) {
                const std::size_t n = rings[s.ring].pts.size();
                const bool s_then_t = (s.k + 1) % n == t.k, t_then_s = (t.k + 1) % n == s.k;
                if (s_then_t || t_then_s) {
                    // Neighbours share one end; neither may reach onto the other.
                    bad = false;
                    if (s_then_t) bad = bad || (orient(s.a, s.b, t.b) == 0 && between(s.a, s.b, t.b)) ||
                                        (orient(t.a, t.b, s.a) == 0 && between(t.a, t.b, s.a));
                    if (t_then_s) bad = bad || (orient(t.a, t.b, s.b) == 0 && between(t.a, t.b, s.b)) ||
                                        (orient(s.a, s.b, t.a) == 0 && between(s.a, s.b, t.a));
                } else {
                    bad = segments_meet(s.a, s.b, t.a, t.b);
                }
            } else {
                bad = segments_meet(s.a, s.b, t.a, t.b);
            }
            if (bad) {
                crossed = true;
                rep.add("rings meet", "segment " + at(s.a) + "-" + at(s.b) + " of " + name(s.ring) + " meets " +
                                          at(t.a) + "-" + at(t.b) + " of " + name(t.ring));
            }
        }
    }
    if (crossed) return;  // nesting means something only for rings that do not meet
    for (std::size_t i = 0; i < rings.size(); ++i) {
        if (rings[i].sign == 0) {
            rep.add("ring", name(i) + " encloses no area");
            return;
        }
    }
    std::map<int, bool> has_outer;
    for (const RingInfo& r : rings) has_outer[r.part] = has_outer[r.part] || r.sign < 0;
    for (const auto& [part, outer] : has_outer) {
        if (!outer) rep.add("nesting", "part " + std::to_string(part) + " has no outer ring");
    }
    // A ring's first point lies on no other ring: the fill of the others
    // there (outer rings +1, holes -1 inside them) must be 0 around an
    // outer ring and 1, from its own part alone, around a hole.
    std::vector<std::vector<Edge>> edges(rings.size());
    std::vector<std::array<double, 4>> box(rings.size());  // lx, ly, hx, hy
    for (std::size_t j = 0; j < rings.size(); ++j) {
        const auto& pts = rings[j].pts;
        double lx = pts[0].x, hx = lx, ly = pts[0].y, hy = ly;
        for (std::size_t k = 0; k < pts.size(); ++k) {
            edges[j].emplace_back(pts[k], pts[(k + 1) % pts.size()]);
            lx = std::min(lx, pts[k].x);
            hx = std::max(hx, pts[k].x);
            ly = std::min(ly, pts[k].y);
            hy = std::max(hy, pts[k].y);
        }
        box[j] = {lx, ly, hx, hy};
    }
    for (std::size_t i = 0; i < rings.size(); ++i) {
        const Pt probe = rings[i].pts[0];
        int everywhere = 0, own = 0;
        for (std::size_t j = 0; j < rings.size(); ++j) {
            if (j == i) continue;
            const auto& bj = box[j];
            if (probe.x < bj[0] || probe.y < bj[1] || probe.x > bj[2] || probe.y > bj[3]) continue;
            if (winding(edges[j], probe) == 0) continue;
            const int fill = rings[j].sign < 0 ? 1 : -1;
            everywhere += fill;
            if (rings[j].part == rings[i].part) own += fill;
        }
        if (rings[i].sign < 0 && everywhere != 0) {
            rep.add("nesting", "outer " + name(i) + " lies inside " +
                                   (own != 0 ? "its own part" : "another part"));
        } else if (rings[i].sign > 0 && (own != 1 || everywhere != 1)) {
            rep.add("nesting", "hole " + name(i) + " is not inside its own part's region only");
        }
    }
}

void check_coverage(const std::vector<Edge>& boundary, const cv::Mat& kept, int border, double padding,
                    Report& rep) {
    const Q pad = exact(padding), pad2 = pad * pad;
    // Boundary edges by the rows of pixel centres they cross (half-open).
    std::vector<std::vector<int>> by_row(static_cast<std::size_t>(kept.rows));
    for (std::size_t e = 0; e < boundary.size(); ++e) {
        const auto& [a, b] = boundary[e];
        const double lo = std::min(a.y, b.y) - border, hi = std::max(a.y, b.y) - border;
        const int r0 = std::max(0, static_cast<int>(std::ceil(lo)));
        const int r1 = std::min(kept.rows, static_cast<int>(std::ceil(hi)));
        for (int r = r0; r < r1; ++r) by_row[static_cast<std::size_t>(r)].push_back(static_cast<int>(e));
    }
    std::vector<Edge> row_edges;
    for (int r = 0; r < kept.rows; ++r) {
        row_edges.clear();
        for (int e : by_row[static_cast<std::size_t>(r)]) row_edges.push_back(boundary[static_cast<std::size_t>(e)]);
        for (int c = 0; c < kept.cols; ++c) {
            if (!kept.at<std::uint8_t>(r, c)) continue;
            const Pt centre{static_cast<double>(c + border), static_cast<double>(r + border)};
            if (winding(row_edges, centre) == 0) {
                rep.add("pixel outside", "opaque pixel centred at " + at(centre) + " is outside the mesh");
            }
        }
    }
    // No boundary edge nearer than the padding to a kept square.
    for (const auto& [a, b] : boundary) {
        const double reach = padding + kHalf;
        const int c0 = std::max(0, static_cast<int>(std::floor(std::min(a.x, b.x) - reach - border)));
        const int c1 = std::min(kept.cols - 1, static_cast<int>(std::ceil(std::max(a.x, b.x) + reach - border)));
        const int r0 = std::max(0, static_cast<int>(std::floor(std::min(a.y, b.y) - reach - border)));
        const int r1 = std::min(kept.rows - 1, static_cast<int>(std::ceil(std::max(a.y, b.y) + reach - border)));
        for (int r = r0; r <= r1; ++r) {
            for (int c = c0; c <= c1; ++c) {
                if (!kept.at<std::uint8_t>(r, c)) continue;
                const double cx = c + border, cy = r + border;
                bool bad;
                if (padding > 0) {
                    const double d2 = segment_box_d2(a.x, a.y, b.x, b.y, cx - kHalf, cy - kHalf, cx + kHalf, cy + kHalf);
                    const double p2 = padding * padding;
                    if (d2 > p2 + 1e-7 * (1 + p2)) continue;  // far beyond any rounding
                    const Q h(1, 2);
                    const Q e = segment_box_d2<Q>(exact(a.x), exact(a.y), exact(b.x), exact(b.y), Q(cx) - h,
                                                  Q(cy) - h, Q(cx) + h, Q(cy) + h);
                    bad = e < pad2;
                } else if (std::max(a.x, b.x) <= cx - kHalf || std::min(a.x, b.x) >= cx + kHalf ||
                           std::max(a.y, b.y) <= cy - kHalf || std::min(a.y, b.y) >= cy + kHalf) {
                    continue;  // wholly on one side of a line through the square's side
                } else {
                    const Q h(1, 2);
                    bad = segment_meets_box<Q>(exact(a.x), exact(a.y), exact(b.x), exact(b.y), Q(cx) - h,
                                               Q(cy) - h, Q(cx) + h, Q(cy) + h, true);
                }
                if (bad) {
                    rep.add("padding", "boundary edge " + at(a) + "-" + at(b) +
                                           (padding > 0 ? " passes nearer than the padding to" : " cuts into") +
                                           " the opaque pixel centred at " + at({cx, cy}));
                }
            }
        }
    }
}

// Every point of segment a-b within sqrt(b2) of the opaque set, given by
// `edge` (CV_8UC1, image frame): its boundary pixels, those with a
// transparent side (the nearest opaque point to anything outside lies on
// one of them).
bool segment_within(const Pt& a, const Pt& b, const cv::Mat& edge, int border, const Q& b2, double bound,
                    Pt& worst) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    struct Near {
        double lo, hi;
        Pt c;
    };
    // Squares within reach of the segment by distance (well conditioned in
    // doubles, so a generous margin makes this a superset of the ones that
    // matter), with their intervals along it, approximately.
    std::vector<Near> near;
    const double reach = bound + kHalf + 1e-6, reach2 = (bound + 1e-6) * (bound + 1e-6);
    const int c0 = std::max(0, static_cast<int>(std::floor(std::min(a.x, b.x) - reach)) - border);
    const int c1 = std::min(edge.cols - 1, static_cast<int>(std::ceil(std::max(a.x, b.x) + reach)) - border);
    const int r0 = std::max(0, static_cast<int>(std::floor(std::min(a.y, b.y) - reach)) - border);
    const int r1 = std::min(edge.rows - 1, static_cast<int>(std::ceil(std::max(a.y, b.y) + reach)) - border);
    for (int r = r0; r <= r1; ++r) {
        for (int c = c0; c <= c1; ++c) {
            if (!edge.at<std::uint8_t>(r, c)) continue;
            const Pt q{static_cast<double>(c + border), static_cast<double>(r + border)};
            if (segment_box_d2(a.x, a.y, b.x, b.y, q.x - kHalf, q.y - kHalf, q.x + kHalf, q.y + kHalf) > reach2) continue;
            double lo = 0, hi = -1;
            rounded_square_span_approx(a, dx, dy, q.x, q.y, bound, lo, hi);
            near.push_back({lo, hi, q});
        }
    }
    // In doubles first, as a proof that needs no exact interval: pieces of
    // the segment, cut where the approximate intervals overlap, each with
    // both ends within the bound (less 1e-9 px, far more than the doubles'
    // error) of one square, which is convex once grown. Any doubt goes to
    // the exact intervals.
    const auto inside = [&](double t, const Pt& q) {
        const double x = t >= 1 ? b.x : a.x + t * dx, y = t >= 1 ? b.y : a.y + t * dy;
        const double d2 = point_box_d2(x, y, q.x - kHalf, q.y - kHalf, q.x + kHalf, q.y + kHalf);
        return bound > 1e-9 && d2 <= (bound - 1e-9) * (bound - 1e-9);
    };
    std::vector<const Near*> order;
    for (const Near& n : near) {
        if (n.lo <= n.hi) order.push_back(&n);
    }
    std::sort(order.begin(), order.end(), [](const Near* u, const Near* v) { return u->lo < v->lo; });
    bool proven = false;
    if (!order.empty()) {
        const Near* owner = order[0];
        double from = 0;
        std::size_t next = 1;
        for (int guard = 0; guard <= static_cast<int>(order.size()); ++guard) {
            if (owner->hi >= 1) {
                proven = inside(from, owner->c) && inside(1, owner->c);
                break;
            }
            const Near* best = nullptr;
            for (; next < order.size() && order[next]->lo < owner->hi; ++next) {
                if (best == nullptr || order[next]->hi > best->hi) best = order[next];
            }
            if (best == nullptr || best->hi <= owner->hi) break;
            const double cut = 0.5 * (std::max(best->lo, from) + owner->hi);
            if (!(cut > from) || !inside(from, owner->c) || !inside(cut, owner->c)) break;
            from = cut;
            owner = best;
        }
    }
    if (proven) return true;

    const Q ax = exact(a.x), ay = exact(a.y), ex = exact(b.x) - ax, ey = exact(b.y) - ay;
    std::vector<Span> spans;
    for (const Near& n : near) {
        Span s;
        if (rounded_square_span(ax, ay, ex, ey, exact(n.c.x), exact(n.c.y), b2, s)) spans.push_back(s);
    }
    std::sort(spans.begin(), spans.end(), [](const Span& u, const Span& v) { return compare(u.lo, v.lo) < 0; });
    Root covered = rational(Q(0));
    for (const Span& s : spans) {
        if (compare(s.lo, covered) > 0) break;
        covered = max_of(covered, s.hi);
    }
    if (compare(covered, rational(Q(1))) >= 0) return true;
    const double t = covered.approx();
    worst = {a.x + t * dx, a.y + t * dy};
    return false;
}

void check_tolerance(const std::vector<RingInfo>& rings, const cv::Mat& opaque, int border,
                     const sprite::Options& o, Report& rep) {
    // The bound: tolerance + padding; at padding 0 never below the corner
    // cut (1/64 px into a transparent pixel, 1/64 px / sqrt 2 from the
    // opaque ones), so its square is rational either way.
    Q b2;
    if (o.padding > 0) {
        const Q b = exact(o.tolerance) + exact(o.padding);
        b2 = b * b;
    } else {
        const Q t = exact(o.tolerance);
        b2 = std::max(Q(t * t), Q(1, 2 * 64 * 64));
    }
    const double bound = std::sqrt(b2.get_d());
    cv::Mat edge = cv::Mat::zeros(opaque.size(), CV_8UC1);
    const auto opaque_at = [&](int r, int c) {
        return r >= 0 && c >= 0 && r < opaque.rows && c < opaque.cols && opaque.at<std::uint8_t>(r, c) != 0;
    };
    for (int r = 0; r < opaque.rows; ++r) {
        for (int c = 0; c < opaque.cols; ++c) {
            if (opaque_at(r, c) &&
                (!opaque_at(r - 1, c) || !opaque_at(r + 1, c) || !opaque_at(r, c - 1) || !opaque_at(r, c + 1))) {
                edge.at<std::uint8_t>(r, c) = 1;
            }
        }
    }
    for (const RingInfo& ring : rings) {
        for (std::size_t k = 0; k < ring.pts.size(); ++k) {
            const Pt& a = ring.pts[k];
            const Pt& b = ring.pts[(k + 1) % ring.pts.size()];
            Pt worst;
            if (!segment_within(a, b, edge, border, b2, bound, worst)) {
                rep.add("tolerance", "ring " + std::to_string(ring.index) + " of part " + std::to_string(ring.part) +
                                         ": the point " + at(worst) + " of " + at(a) + "-" + at(b) +
                                         fmt(" lies more than %g + %g px from the opaque pixels", o.tolerance,
                                             o.padding));
            }
        }
    }
}

}  // namespace

std::vector<int> island_sizes(const cv::Mat& alpha, int threshold, cv::Mat& labels) {
    const cv::Mat opaque = alpha > threshold;
    cv::Mat stats, centroids;
    const int n = cv::connectedComponentsWithStats(opaque, labels, stats, centroids, 8, CV_32S);
    std::vector<int> sizes(static_cast<std::size_t>(n), 0);
    for (int i = 1; i < n; ++i) sizes[static_cast<std::size_t>(i)] = stats.at<int>(i, cv::CC_STAT_AREA);
    return sizes;
}

std::vector<std::string> sprite_mesh_problems(const sprite::Result& res, const cv::Mat& alpha,
                                              const sprite::Options& o, const GuaranteeChecks& checks) {
    Report rep;
    const int border = std::max(o.margin, 0);
    if (!structure_ok(res, border, alpha, rep)) return rep.lines();

    std::vector<RingInfo> rings;
    std::size_t total = 0;
    for (std::size_t pi = 0; pi < res.parts.size(); ++pi) {
        const sprite::PartMesh& p = res.parts[pi];
        std::size_t part_vertices = 0;
        for (std::size_t ri = 0; ri < p.rings.size(); ++ri) {
            RingInfo r;
            r.part = static_cast<int>(pi);
            r.index = static_cast<int>(ri);
            for (std::int32_t i : p.rings[ri]) r.pts.push_back(vertex(p, i));
            r.sign = area_sign(r.pts);
            part_vertices += r.pts.size();
            rings.push_back(std::move(r));
        }
        total += part_vertices;
        if (checks.budget && o.max_vertices > 0 && checks.budget_rule == BudgetRule::per_part &&
            part_vertices > static_cast<std::size_t>(o.max_vertices)) {
            rep.add("budget", "part " + std::to_string(pi) + " has " + std::to_string(part_vertices) +
                                  " outline vertices, above max_vertices " + std::to_string(o.max_vertices));
        }
    }
    if (checks.budget && o.max_vertices > 0 && checks.budget_rule == BudgetRule::whole_sprite &&
        total > static_cast<std::size_t>(o.max_vertices)) {
        rep.add("budget", "the sprite has " + std::to_string(total) + " outline vertices, above max_vertices " +
                              std::to_string(o.max_vertices));
    }

    const std::vector<Edge> boundary = triangle_boundary(res, rep);
    if (checks.validity) check_rings(rings, rep);
    if (checks.coverage) {
        cv::Mat labels;
        const std::vector<int> sizes = island_sizes(alpha, o.alpha_threshold, labels);
        cv::Mat kept = cv::Mat::zeros(alpha.size(), CV_8UC1);
        for (int r = 0; r < alpha.rows; ++r) {
            for (int c = 0; c < alpha.cols; ++c) {
                const int l = labels.at<int>(r, c);
                if (l > 0 && sizes[static_cast<std::size_t>(l)] >= o.min_island_area) kept.at<std::uint8_t>(r, c) = 1;
            }
        }
        check_coverage(boundary, kept, border, o.padding, rep);
    }
    if (checks.tolerance) check_tolerance(rings, alpha > o.alpha_threshold, border, o, rep);
    return rep.lines();
}

}  // namespace vellumcut::fuzz
