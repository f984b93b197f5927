#include "sprite_mesh/reduce.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>

#include <opencv2/imgproc.hpp>

#include "sprite_mesh/predicates.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {

namespace {

// Smallest convex polygon of at most `k` corners found by repeatedly
// dropping the hull edge whose removal (extending both neighbours to meet)
// adds the least area; it holds every point of `pts`.
IRing reduced_hull(const std::vector<P>& pts, std::size_t k) {
    std::vector<cv::Point> cv_pts;
    cv_pts.reserve(pts.size());
    for (const P& q : pts) cv_pts.emplace_back(static_cast<int>(q.x), static_cast<int>(q.y));
    std::vector<cv::Point> hull;
    cv::convexHull(cv_pts, hull);
    std::vector<cv::Point2d> h(hull.begin(), hull.end());
    if (h.size() < 3) {
        // Collinear points (a one-pixel line): a right triangle round their box.
        const cv::Rect box = cv::boundingRect(cv_pts);
        const double x0 = box.x - 1, y0 = box.y - 1, w = box.width + 2, hh = box.height + 2;
        h = {{x0, y0}, {x0, y0 + 2 * hh}, {x0 + 2 * w, y0}};
    }
    if (k <= 3 && h.size() > 3) {
        // Edge dropping stalls on parallel sides (a rectangle); the
        // smallest enclosing triangle is what three corners can do.
        std::vector<cv::Point2f> tri;
        std::vector<cv::Point2f> hf(hull.begin(), hull.end());
        cv::minEnclosingTriangle(hf, tri);
        if (tri.size() == 3) h.assign(tri.begin(), tri.end());
    }
    while (h.size() > k && h.size() > 3) {
        const std::size_t n = h.size();
        double best = INFINITY;
        std::size_t at = 0;
        cv::Point2d best_x;
        for (std::size_t i = 0; i < n; ++i) {
            const cv::Point2d a = h[(i + n - 1) % n], b = h[i], c = h[(i + 1) % n], d = h[(i + 2) % n];
            const cv::Point2d u = b - a, v = c - d;  // both towards the meeting point
            const double den = u.x * v.y - u.y * v.x;
            if (std::abs(den) < 1e-9) continue;
            const double t = ((d.x - a.x) * v.y - (d.y - a.y) * v.x) / den;
            if (t < 1.0) continue;  // the neighbours diverge beyond this edge
            const cv::Point2d x = a + t * u;
            const double area = std::abs((b.x - x.x) * (c.y - x.y) - (b.y - x.y) * (c.x - x.x)) / 2;
            if (area < best) {
                best = area;
                at = i;
                best_x = x;
            }
        }
        if (!std::isfinite(best)) break;
        h[at] = best_x;
        h.erase(h.begin() + static_cast<std::ptrdiff_t>((at + 1) % n));
    }
    cv::Point2d centre(0, 0);
    for (const auto& q : h) centre += q;
    centre *= 1.0 / static_cast<double>(h.size());
    // Grow it about the centre so every side moves out by 3 units: a
    // tight polygon computed in floating point would not survive rounding.
    double nearest = INFINITY;
    for (std::size_t i = 0; i < h.size(); ++i) {
        const cv::Point2d a = h[i], b = h[(i + 1) % h.size()];
        const double len = std::hypot(b.x - a.x, b.y - a.y);
        if (len > 0) nearest = std::min(nearest, std::abs((b.x - a.x) * (centre.y - a.y) - (b.y - a.y) * (centre.x - a.x)) / len);
    }
    if (std::isfinite(nearest) && nearest > 0) {
        const double f = 1 + 3 / nearest;
        for (auto& q : h) q = centre + f * (q - centre);
    }
    IRing r;
    for (const auto& q : h) {
        // Round away from the centre so the rounded polygon still holds the hull.
        const double x = q.x > centre.x ? std::ceil(q.x) : std::floor(q.x);
        const double y = q.y > centre.y ? std::ceil(q.y) : std::floor(q.y);
        r.push_back({static_cast<std::int64_t>(x), static_cast<std::int64_t>(y)});
    }
    if (area2(r) > 0) std::reverse(r.begin(), r.end());
    start_top_left(r);
    return r;
}

}  // namespace

// --- the segment grid -----------------------------------------------------------

Reducer::Reducer(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1, std::int64_t reach)
    : SegmentGrid(x0 - reach, y0 - reach, x1 + reach, y1 + reach), x1_(x1 + reach), y1_(y1 + reach) {}

// --- rings ------------------------------------------------------------------------

int Reducer::add_ring(const IRing& ring, int part, bool hole, double slack) {
    static const std::vector<int> none;
    return add_ring(ring, ring, none, part, hole, slack);
}

int Reducer::add_ring(const IRing& ring, const IRing& start, const std::vector<int>& anchors, int part, bool hole,
                      double slack) {
    const int r = static_cast<int>(rings_.size());
    rings_.emplace_back();
    Ring& R = rings_.back();
    R.orig = ring;
    R.part = part;
    R.hole = hole;
    R.slack = slack;
    if (static_cast<std::size_t>(part) >= part_rings_.size()) part_rings_.resize(static_cast<std::size_t>(part) + 1);
    part_rings_[static_cast<std::size_t>(part)].push_back(r);
    if (anchors.empty()) {
        set_ring(r, rings_[static_cast<std::size_t>(r)].orig);
    } else {
        set_ring(r, start, &anchors);
    }
    return r;
}

void Reducer::set_inside(int hole, std::vector<int> parts) { rings_[static_cast<std::size_t>(hole)].inside = std::move(parts); }

void Reducer::set_ring(int r, const IRing& pts, const std::vector<int>* anchors) {
    Ring& R = rings_[static_cast<std::size_t>(r)];
    if (R.head >= 0) {
        int v = R.head;
        do {
            Node& n = nodes_[static_cast<std::size_t>(v)];
            segs_[static_cast<std::size_t>(n.seg)].alive = false;
            n.alive = false;
            v = n.next;
        } while (v != R.head);
        total_ -= static_cast<std::size_t>(R.count);
    }
    const int base = static_cast<int>(nodes_.size());
    const int n = static_cast<int>(pts.size());
    const bool original = &pts == &R.orig;
    for (int k = 0; k < n; ++k) {
        Node node;
        node.p = pts[static_cast<std::size_t>(k)];
        node.prev = base + (k + n - 1) % n;
        node.next = base + (k + 1) % n;
        node.ring = r;
        const int size = static_cast<int>(R.orig.size());
        if (original) {
            node.lo = k;
            node.cnt = 2;
        } else if (anchors != nullptr) {
            // An edge answers for the corners from the anchor before its
            // start to the one after its end (corners of a fitted line sit
            // a little beyond its run).
            const auto at = [&](int j) { return (*anchors)[static_cast<std::size_t>(((k + j) % n + n) % n)]; };
            node.lo = at(-1);
            node.cnt = n < 4 ? size + 1 : std::min(((at(2) - node.lo) % size + size) % size + 1, size + 1);
        } else {
            node.lo = 0;  // a hull answers for the whole original ring
            node.cnt = size + 1;
        }
        node.seg = insert(node.p, pts[static_cast<std::size_t>((k + 1) % n)], r);
        nodes_.push_back(node);
    }
    R.head = base;
    R.count = n;
    total_ += static_cast<std::size_t>(n);
}

bool Reducer::part_alive(int part) const {
    const auto& rs = part_rings_[static_cast<std::size_t>(part)];
    return !rs.empty() && rings_[static_cast<std::size_t>(rs[0])].alive;
}

IRing Reducer::ring_points(int r) const {
    IRing out;
    const Ring& R = rings_[static_cast<std::size_t>(r)];
    out.reserve(static_cast<std::size_t>(R.count));
    int v = R.head;
    do {
        out.push_back(nodes_[static_cast<std::size_t>(v)].p);
        v = nodes_[static_cast<std::size_t>(v)].next;
    } while (v != R.head);
    return out;
}

std::vector<IRing> Reducer::part_rings(int part) const {
    std::vector<IRing> out;
    for (int r : part_rings_[static_cast<std::size_t>(part)]) {
        if (!rings_[static_cast<std::size_t>(r)].alive) continue;
        out.push_back(ring_points(r));
        start_top_left(out.back());
    }
    return out;
}

double Reducer::ring_area(int r) const {
    return std::abs(static_cast<double>(area2(ring_points(r)))) / 2;
}

double Reducer::mesh_area() const {
    double a = 0;
    for (std::size_t r = 0; r < rings_.size(); ++r) {
        if (rings_[r].alive) a += (rings_[r].hole ? -1 : 1) * ring_area(static_cast<int>(r));
    }
    return a;
}

void Reducer::kill_ring(int r) {
    Ring& R = rings_[static_cast<std::size_t>(r)];
    if (!R.alive) return;
    R.alive = false;
    int v = R.head;
    do {
        Node& n = nodes_[static_cast<std::size_t>(v)];
        segs_[static_cast<std::size_t>(n.seg)].alive = false;
        n.alive = false;
        v = n.next;
    } while (v != R.head);
    total_ -= static_cast<std::size_t>(R.count);
    for (int p : R.inside) kill_part(p);
}

void Reducer::kill_part(int part) {
    for (int r : part_rings_[static_cast<std::size_t>(part)]) kill_ring(r);
}

std::size_t Reducer::fill_saves(int r) const {
    const Ring& R = rings_[static_cast<std::size_t>(r)];
    std::size_t n = static_cast<std::size_t>(R.count);
    for (int p : R.inside) {
        for (int q : part_rings_[static_cast<std::size_t>(p)]) {
            if (rings_[static_cast<std::size_t>(q)].alive) n += fill_saves(q);
        }
    }
    return n;
}

// --- steps ------------------------------------------------------------------------

namespace {

// The original corners two consecutive edges replace together.
int joined(int lo_a, int cnt_b, int lo_b, int n) {
    const int ahead = ((lo_b - lo_a) % n + n) % n;
    return std::min(ahead + cnt_b, n + 1);
}

}  // namespace

// A bound on how far segment a-b strays from the pixel boundary it replaces,
// corners lo .. lo + cnt - 1 of the ring: the boundary is one connected
// path, so every point of a-b whose normal meets that path lies within the
// largest normal offset of the path's points over a-b; points beyond the
// path's ends lie within reach of its end corner (distance to a point is
// convex along a line, so the segment's end is the farthest).
double Reducer::stray(const P& a, const P& b, const Ring& r, int lo, int cnt) const {
    const double ex = static_cast<double>(b.x - a.x), ey = static_cast<double>(b.y - a.y);
    const double len = std::hypot(ex, ey);
    if (len == 0) return INFINITY;
    const double ux = ex / len, uy = ey / len;
    const std::size_t n = r.orig.size();
    double worst = 0, umin = INFINITY, umax = -INFINITY, pu = 0, ph = 0;
    P at_min{}, at_max{};
    for (int k = 0; k < cnt; ++k) {
        const P& o = r.orig[(static_cast<std::size_t>(lo) + static_cast<std::size_t>(k)) % n];
        const double dx = static_cast<double>(o.x - a.x), dy = static_cast<double>(o.y - a.y);
        const double u = dx * ux + dy * uy, h = dx * uy - dy * ux;
        if (u < umin) {
            umin = u;
            at_min = o;
        }
        if (u > umax) {
            umax = u;
            at_max = o;
        }
        if (u >= 0 && u <= len) worst = std::max(worst, std::abs(h));
        if (k > 0) {
            for (const double edge : {0.0, len}) {
                if ((pu - edge) * (u - edge) < 0) {
                    const double t = (edge - pu) / (u - pu);
                    worst = std::max(worst, std::abs(ph + t * (h - ph)));
                }
            }
        }
        pu = u;
        ph = h;
    }
    if (umin > 0) worst = std::max(worst, std::hypot(static_cast<double>(at_min.x - a.x), static_cast<double>(at_min.y - a.y)));
    if (umax < len) worst = std::max(worst, std::hypot(static_cast<double>(at_max.x - b.x), static_cast<double>(at_max.y - b.y)));
    return worst;
}

bool Reducer::plan_drop(int v, Step& s) const {
    const Node& V = nodes_[static_cast<std::size_t>(v)];
    const Node& A = nodes_[static_cast<std::size_t>(V.prev)];
    const Node& B = nodes_[static_cast<std::size_t>(V.next)];
    const std::int64_t c = cross(A.p, V.p, B.p);
    if (c < 0) return false;  // a convex corner: dropping it would cut into the mesh
    if (A.p == B.p) return false;
    const Ring& R = rings_[static_cast<std::size_t>(V.ring)];
    s.area = static_cast<double>(c) / 2;
    const int n = static_cast<int>(R.orig.size());
    s.key = budget_mode_ ? s.area : stray(A.p, B.p, R, A.lo, joined(A.lo, V.cnt, V.lo, n)) + R.slack;
    return true;
}

bool Reducer::plan_collapse(int v, Step& s) const {
    const Node& V = nodes_[static_cast<std::size_t>(v)];
    const Node& U = nodes_[static_cast<std::size_t>(V.prev)];
    const Node& W = nodes_[static_cast<std::size_t>(V.next)];
    const Node& X = nodes_[static_cast<std::size_t>(W.next)];
    const P &u = U.p, &p = V.p, &w = W.p, &x = X.p;
    // u + s (p - u) = x + t (w - x), with s > 1 and t > 1: both lines go on
    // past the edge and meet outside it.
    const long double d1x = static_cast<long double>(p.x - u.x), d1y = static_cast<long double>(p.y - u.y);
    const long double d2x = static_cast<long double>(w.x - x.x), d2y = static_cast<long double>(w.y - x.y);
    const long double den = d1x * d2y - d1y * d2x;
    if (den == 0) return false;
    const long double qx = static_cast<long double>(x.x - u.x), qy = static_cast<long double>(x.y - u.y);
    const long double sp = (qx * d2y - qy * d2x) / den, tp = (qx * d1y - qy * d1x) / den;
    if (!(sp > 1) || !(tp > 1)) return false;
    const long double mx = static_cast<long double>(u.x) + sp * d1x, my = static_cast<long double>(u.y) + sp * d1y;
    if (mx < x0_ || mx > x1_ || my < y0_ || my > y1_) return false;
    const auto fx = static_cast<std::int64_t>(std::floor(mx)), fy = static_cast<std::int64_t>(std::floor(my));
    double best = INFINITY;
    for (std::int64_t ix = fx - 1; ix <= fx + 2; ++ix) {
        for (std::int64_t iy = fy - 1; iy <= fy + 2; ++iy) {
            const P q{ix, iy};
            if (q == u || q == x) continue;
            // The old corners stay on the mesh side of both new edges, and
            // q lies outside the old edge: the new path only adds area.
            if (cross(u, q, p) > 0 || cross(u, q, w) > 0 || cross(q, x, p) > 0 || cross(q, x, w) > 0) continue;
            if (cross(p, w, q) <= 0) continue;
            const double d = std::hypot(static_cast<double>(static_cast<long double>(ix) - mx),
                                        static_cast<double>(static_cast<long double>(iy) - my));
            if (d < best) {
                best = d;
                s.x = q;
            }
        }
    }
    if (!std::isfinite(best)) return false;
    const IRing added{u, p, w, x, s.x};
    s.area = std::abs(static_cast<double>(area2(added))) / 2;
    if (budget_mode_) {
        s.key = s.area;
    } else {
        const Ring& R = rings_[static_cast<std::size_t>(V.ring)];
        const int n = static_cast<int>(R.orig.size());
        s.key = std::max(stray(u, s.x, R, U.lo, joined(U.lo, V.cnt, V.lo, n)),
                         stray(s.x, x, R, V.lo, joined(V.lo, W.cnt, W.lo, n))) + R.slack;
    }
    return true;
}

bool Reducer::drop_is_free(int v) {
    const Node& V = nodes_[static_cast<std::size_t>(v)];
    const Node& A = nodes_[static_cast<std::size_t>(V.prev)];
    const Node& B = nodes_[static_cast<std::size_t>(V.next)];
    const Node& PA = nodes_[static_cast<std::size_t>(A.prev)];
    const Node& NB = nodes_[static_cast<std::size_t>(B.next)];
    // The new edge meets its neighbours at the shared corners only.
    if (on_segment(A.p, B.p, PA.p) || on_segment(A.p, B.p, NB.p) || on_segment(PA.p, A.p, B.p) ||
        on_segment(B.p, NB.p, A.p)) {
        return false;
    }
    ++clock_;
    for (int s : {PA.seg, A.seg, V.seg, B.seg}) stamp_[static_cast<std::size_t>(s)] = clock_;
    if (meets_unstamped(A.p, B.p)) return false;
    ++clock_;
    for (int s : {A.seg, V.seg, B.seg}) stamp_[static_cast<std::size_t>(s)] = clock_;
    return !vertex_in_unstamped({A.p, V.p, B.p});
}

bool Reducer::collapse_is_free(int v, const P& q) {
    const Node& V = nodes_[static_cast<std::size_t>(v)];
    const Node& U = nodes_[static_cast<std::size_t>(V.prev)];
    const Node& W = nodes_[static_cast<std::size_t>(V.next)];
    const Node& X = nodes_[static_cast<std::size_t>(W.next)];
    const Node& PU = nodes_[static_cast<std::size_t>(U.prev)];
    const Node& NX = nodes_[static_cast<std::size_t>(X.next)];
    if (on_segment(U.p, q, PU.p) || on_segment(PU.p, U.p, q) || on_segment(q, X.p, NX.p) ||
        on_segment(X.p, NX.p, q) || on_segment(U.p, q, X.p) || on_segment(q, X.p, U.p)) {
        return false;
    }
    ++clock_;
    for (int s : {PU.seg, U.seg, V.seg, W.seg}) stamp_[static_cast<std::size_t>(s)] = clock_;
    if (meets_unstamped(U.p, q)) return false;
    ++clock_;
    for (int s : {U.seg, V.seg, W.seg, X.seg}) stamp_[static_cast<std::size_t>(s)] = clock_;
    if (meets_unstamped(q, X.p)) return false;
    ++clock_;
    for (int s : {U.seg, V.seg, W.seg, X.seg}) stamp_[static_cast<std::size_t>(s)] = clock_;
    return !vertex_in_unstamped({U.p, V.p, W.p, X.p, q});
}

void Reducer::apply_drop(int v) {
    Node& V = nodes_[static_cast<std::size_t>(v)];
    Node& A = nodes_[static_cast<std::size_t>(V.prev)];
    Node& B = nodes_[static_cast<std::size_t>(V.next)];
    Ring& R = rings_[static_cast<std::size_t>(V.ring)];
    segs_[static_cast<std::size_t>(A.seg)].alive = false;
    segs_[static_cast<std::size_t>(V.seg)].alive = false;
    A.cnt = joined(A.lo, V.cnt, V.lo, static_cast<int>(R.orig.size()));
    A.seg = insert(A.p, B.p, V.ring);
    A.next = V.next;
    B.prev = V.prev;
    V.alive = false;
    if (R.head == v) R.head = V.prev;
    --R.count;
    --total_;
}

void Reducer::apply_collapse(int v, const P& q) {
    Node& V = nodes_[static_cast<std::size_t>(v)];
    Node& U = nodes_[static_cast<std::size_t>(V.prev)];
    Node& W = nodes_[static_cast<std::size_t>(V.next)];
    Node& X = nodes_[static_cast<std::size_t>(W.next)];
    Ring& R = rings_[static_cast<std::size_t>(V.ring)];
    const int n = static_cast<int>(R.orig.size());
    for (int s : {U.seg, V.seg, W.seg}) segs_[static_cast<std::size_t>(s)].alive = false;
    U.cnt = joined(U.lo, V.cnt, V.lo, n);
    V.cnt = joined(V.lo, W.cnt, W.lo, n);
    V.p = q;
    U.seg = insert(U.p, q, V.ring);
    V.seg = insert(q, X.p, V.ring);
    const int w = V.next;
    V.next = W.next;
    X.prev = v;
    W.alive = false;
    if (R.head == w) R.head = v;
    --R.count;
    --total_;
}

void Reducer::push_node(std::vector<Cand>& heap, int v) const {
    const Node& V = nodes_[static_cast<std::size_t>(v)];
    if (!V.alive || rings_[static_cast<std::size_t>(V.ring)].count < 4) return;
    Step s;
    if (plan_drop(v, s)) {
        heap.push_back({s.key, s.area, v, V.ver, kDrop});
        std::push_heap(heap.begin(), heap.end(), std::greater<Cand>());
    }
    if (plan_collapse(v, s)) {
        heap.push_back({s.key, s.area, v, V.ver, kCollapse});
        std::push_heap(heap.begin(), heap.end(), std::greater<Cand>());
    }
}

// Every step whose corners include one that changed is planned again: a
// drop at v uses v's neighbours, a collapse of v -> next the corner before
// v and the one after next.
void Reducer::refresh_around(std::vector<Cand>& heap, int v, int before, int after) {
    int first = v;
    for (int k = 0; k < before; ++k) first = nodes_[static_cast<std::size_t>(first)].prev;
    const int count = std::min(before + after + 1, rings_[static_cast<std::size_t>(nodes_[static_cast<std::size_t>(v)].ring)].count);
    int at = first;
    for (int k = 0; k < count; ++k) {
        ++nodes_[static_cast<std::size_t>(at)].ver;
        at = nodes_[static_cast<std::size_t>(at)].next;
    }
    at = first;
    for (int k = 0; k < count; ++k) {
        push_node(heap, at);
        at = nodes_[static_cast<std::size_t>(at)].next;
    }
}

// Takes the step `c` stands for, if it is still current and still free,
// and plans again the steps around it; returns the area it added, or -1.
double Reducer::take_step(const Cand& c, std::vector<Cand>& heap) {
    const Node& V = nodes_[static_cast<std::size_t>(c.at)];
    if (!V.alive || V.ver != c.ver || rings_[static_cast<std::size_t>(V.ring)].count < 4) return -1;
    Step s;
    if (c.kind == kDrop) {
        if (!plan_drop(c.at, s) || !drop_is_free(c.at)) return -1;
        const int a = V.prev;
        apply_drop(c.at);
        refresh_around(heap, a, 2, 2);
    } else {
        if (!plan_collapse(c.at, s) || !collapse_is_free(c.at, s.x)) return -1;
        apply_collapse(c.at, s.x);
        refresh_around(heap, c.at, 3, 2);
    }
    return s.area;
}

void Reducer::reduce_tolerance(double tol, Stop& stop) {
    budget_mode_ = false;
    std::vector<Cand> heap;
    heap.reserve(2 * nodes_.size());
    std::size_t pops = 0;
    for (std::size_t r = 0; r < rings_.size(); ++r) {
        if (!rings_[r].alive) continue;
        int v = rings_[r].head;
        do {
            if ((++pops & 1023) == 0) stop.poll();
            push_node(heap, v);
            v = nodes_[static_cast<std::size_t>(v)].next;
        } while (v != rings_[r].head);
    }
    while (!heap.empty()) {
        if ((++pops & 1023) == 0) stop.poll();
        std::pop_heap(heap.begin(), heap.end(), std::greater<Cand>());
        const Cand c = heap.back();
        heap.pop_back();
        // Steps come in key order whatever the tolerance; it only says
        // where the sequence ends.
        if (c.key > tol) break;
        take_step(c, heap);
    }
}

BudgetReport Reducer::reduce_budget(std::size_t budget, double opaque, Stop& stop) {
    BudgetReport rep;
    double area = mesh_area();
    const auto overdraw = [&](double a) { return opaque > 0 ? a / opaque - 1 : 0.0; };
    rep.overdraw_before = overdraw(area);
    rep.overdraw = rep.overdraw_before;
    if (total_ <= budget) return rep;
    rep.applied = true;
    if (rep.overdraw_before <= 0.1) rep.under_10 = total_;
    budget_mode_ = true;
    std::vector<Cand> heap;
    const auto push_fill = [&](int r) {
        const double gain = ring_area(r) - [&] {
            double inner = 0;
            for (int p : rings_[static_cast<std::size_t>(r)].inside) {
                for (int q : part_rings_[static_cast<std::size_t>(p)]) {
                    if (rings_[static_cast<std::size_t>(q)].alive) {
                        inner += (rings_[static_cast<std::size_t>(q)].hole ? -1 : 1) * ring_area(q);
                    }
                }
            }
            return inner;
        }();
        const double per = std::max(gain, 0.0) / static_cast<double>(fill_saves(r));
        heap.push_back({per, gain, r, 0, kFill});
        std::push_heap(heap.begin(), heap.end(), std::greater<Cand>());
    };
    for (std::size_t r = 0; r < rings_.size(); ++r) {
        if (!rings_[r].alive) continue;
        if (rings_[r].hole) push_fill(static_cast<int>(r));
        int v = rings_[r].head;
        do {
            ++nodes_[static_cast<std::size_t>(v)].ver;  // the tolerance keys are stale now
            push_node(heap, v);
            v = nodes_[static_cast<std::size_t>(v)].next;
        } while (v != rings_[r].head);
    }
    std::size_t pops = 0;
    while (total_ > budget && !heap.empty()) {
        if ((++pops & 1023) == 0) stop.poll();
        std::pop_heap(heap.begin(), heap.end(), std::greater<Cand>());
        const Cand c = heap.back();
        heap.pop_back();
        if (c.kind == kFill) {
            if (!rings_[static_cast<std::size_t>(c.at)].alive) continue;
            const std::size_t before = heap.size();
            push_fill(c.at);
            if (heap.size() > before && heap.front().kind == kFill && heap.front().at == c.at &&
                heap.front().key <= c.key) {
                // Still the cheapest: fill it now.
                std::pop_heap(heap.begin(), heap.end(), std::greater<Cand>());
                area += heap.back().area;
                heap.pop_back();
                kill_ring(c.at);
            } else {
                continue;  // its cost went up; it waits in the heap
            }
        } else {
            const double added = take_step(c, heap);
            if (added < 0) continue;
            area += added;
        }
        if (overdraw(area) <= 0.1) rep.under_10 = total_;
    }
    if (total_ > budget) hull_fallback(budget, stop);
    rep.overdraw = overdraw(mesh_area());
    return rep;
}

bool Reducer::hull_fits(const IRing& hull, int part, std::vector<int>& hit_rings) {
    hit_rings.clear();
    ++clock_;
    for (int r : part_rings_[static_cast<std::size_t>(part)]) {
        if (!rings_[static_cast<std::size_t>(r)].alive) continue;
        int v = rings_[static_cast<std::size_t>(r)].head;
        do {
            stamp_[static_cast<std::size_t>(nodes_[static_cast<std::size_t>(v)].seg)] = clock_;
            v = nodes_[static_cast<std::size_t>(v)].next;
        } while (v != rings_[static_cast<std::size_t>(r)].head);
    }
    const unsigned mark = clock_;
    const auto note = [&](int ring) {
        if (std::find(hit_rings.begin(), hit_rings.end(), ring) == hit_rings.end()) hit_rings.push_back(ring);
    };
    // Hulls may reach beyond the grid's box, so every live segment is tried
    // (this runs only when no step could meet the budget).
    for (std::size_t s = 0; s < segs_.size(); ++s) {
        if (!segs_[s].alive || stamp_[s] == mark) continue;
        bool hit = in_closed(hull, segs_[s].a);
        for (std::size_t i = 0; !hit && i < hull.size(); ++i) {
            hit = meet(hull[i], hull[(i + 1) % hull.size()], segs_[s].a, segs_[s].b);
        }
        if (hit) note(segs_[s].ring);
    }
    return hit_rings.empty();
}

// No step can take the sprite down to the budget: the parts with the most
// corners lose their holes and become reduced convex hulls, taking in every
// part such a hull would reach.
void Reducer::hull_fallback(std::size_t budget, Stop& stop) {
    while (total_ > budget) {
        stop.poll();
        int best = -1;
        std::size_t most = 0;
        for (std::size_t p = 0; p < part_rings_.size(); ++p) {
            if (!part_alive(static_cast<int>(p))) continue;
            std::size_t n = 0, rings = 0;
            for (int r : part_rings_[p]) {
                if (rings_[static_cast<std::size_t>(r)].alive) {
                    n += static_cast<std::size_t>(rings_[static_cast<std::size_t>(r)].count);
                    ++rings;
                }
            }
            if ((n > 3 || rings > 1) && n > most) {
                most = n;
                best = static_cast<int>(p);
            }
        }
        if (best < 0) return;
        const auto& rs = part_rings_[static_cast<std::size_t>(best)];
        for (std::size_t k = 1; k < rs.size(); ++k) kill_ring(rs[k]);
        if (total_ <= budget) return;
        const int outer = rs[0];
        const std::size_t count = static_cast<std::size_t>(rings_[static_cast<std::size_t>(outer)].count);
        const std::size_t excess = total_ - budget;
        const std::size_t k = std::max<std::size_t>(3, count > excess ? count - excess : 3);
        std::vector<P> pts = ring_points(outer);
        std::vector<int> hit;
        while (part_alive(best)) {
            stop.poll();
            const IRing hull = reduced_hull(pts, k);
            if (hull.size() < 3) return;  // nothing better to offer
            if (hull_fits(hull, best, hit)) {
                set_ring(outer, hull);
                break;
            }
            bool filled = false;
            for (int r : hit) {
                if (rings_[static_cast<std::size_t>(r)].alive && rings_[static_cast<std::size_t>(r)].hole) {
                    // The hull outgrows the hole it lies in: fill the hole,
                    // which takes this part with it.
                    kill_ring(r);
                    filled = true;
                }
            }
            if (filled) continue;
            for (int r : hit) {
                const Ring& R = rings_[static_cast<std::size_t>(r)];
                if (!R.alive) continue;
                const IRing other = ring_points(r);
                pts.insert(pts.end(), other.begin(), other.end());
                kill_part(R.part);
            }
        }
    }
}

}  // namespace sprite
}  // namespace vellumcut
