#include "constrained_mesh/pslg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace vellumcut {

namespace {

// ---------------------------------------------------------------------------
// Exact orientation.
//
// The determinant (a - c) x (b - c) is first evaluated in plain double with a
// bound on its rounding error; only when the result is too close to zero to
// trust is it summed exactly as a floating-point expansion (a list of
// non-overlapping doubles whose sum is the exact value). Every difference of
// two doubles is the exact sum of two doubles (two_sum), every product of two
// doubles the exact sum of two (fma), so the determinant is the exact sum of
// sixteen products. Exactness needs the products clear of underflow: for
// widened float32 coordinates every term is a multiple of 2^-298, far above
// double's smallest normal number, and below 2^260.

inline void two_sum(double a, double b, double& sum, double& err) {
    sum = a + b;
    const double bv = sum - a;
    const double av = sum - bv;
    err = (a - av) + (b - bv);
}

inline void two_product(double a, double b, double& prod, double& err) {
    prod = a * b;
    err = std::fma(a, b, -prod);
}

// A sum of doubles kept exact: components are non-overlapping, non-zero and
// ordered by increasing magnitude, so the last one carries the sign.
struct Expansion {
    double c[17];
    int n = 0;

    void add(double b) {
        double q = b;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            double s, e;
            two_sum(q, c[i], s, e);
            if (e != 0.0) c[m++] = e;
            q = s;
        }
        if (q != 0.0) c[m++] = q;
        n = m;
    }
    int sign() const { return n == 0 ? 0 : (c[n - 1] > 0.0 ? 1 : -1); }
    double estimate() const {
        double s = 0.0;
        for (int i = 0; i < n; ++i) s += c[i];
        return s;
    }
};

Expansion orientation_exact(const double* a, const double* b, const double* c) {
    double acx[2], acy[2], bcx[2], bcy[2];
    two_sum(a[0], -c[0], acx[0], acx[1]);
    two_sum(a[1], -c[1], acy[0], acy[1]);
    two_sum(b[0], -c[0], bcx[0], bcx[1]);
    two_sum(b[1], -c[1], bcy[0], bcy[1]);
    Expansion e;
    for (double u : acx) {
        for (double v : bcy) {
            double p, q;
            two_product(u, v, p, q);
            e.add(q);
            e.add(p);
        }
    }
    for (double u : acy) {
        for (double v : bcx) {
            double p, q;
            two_product(-u, v, p, q);
            e.add(q);
            e.add(p);
        }
    }
    return e;
}

// ---------------------------------------------------------------------------

constexpr int kMaxRounds = 16;
// Grid resolution limit per axis, growing with the segment count: bounds
// the cells one long segment can touch (coordinates spanning 1e-45 to 1e38
// would otherwise make a cell per tiny feature).
double max_cells_per_axis(std::size_t segments) {
    return std::max(64.0, 4.0 * std::sqrt(static_cast<double>(segments)));
}

struct PointKey {
    std::uint64_t x, y;
    bool operator==(const PointKey& o) const { return x == o.x && y == o.y; }
};
struct PointKeyHash {
    std::size_t operator()(const PointKey& k) const {
        std::uint64_t h = k.x * 0x9E3779B97F4A7C15ull;
        h ^= (k.y + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};
PointKey key_of(double x, double y) {
    x += 0.0;  // -0 and +0 are one point
    y += 0.0;
    PointKey k;
    std::memcpy(&k.x, &x, sizeof x);
    std::memcpy(&k.y, &y, sizeof y);
    return k;
}

// Uniform grid over the segments' bounding box. Each segment is entered in
// every cell its row-by-row extent touches, widened by a cell on each side,
// so two segments that meet, or a segment and a point on it, always share a
// cell despite rounding in the cell arithmetic.
struct Grid {
    double x0 = 0, y0 = 0, h = 1;
    std::int64_t cols = 1, rows = 1;

    std::int64_t col(double x) const {
        const double c = std::floor((x - x0) / h);
        return c < 0 ? 0 : (c >= static_cast<double>(cols) ? cols - 1 : static_cast<std::int64_t>(c));
    }
    std::int64_t row(double y) const {
        const double r = std::floor((y - y0) / h);
        return r < 0 ? 0 : (r >= static_cast<double>(rows) ? rows - 1 : static_cast<std::int64_t>(r));
    }
    std::uint64_t key(std::int64_t r, std::int64_t c) const {
        return static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(cols) +
               static_cast<std::uint64_t>(c);
    }

    template <class Emit>
    void cells_of_segment(const double* a, const double* b, Emit&& emit) const {
        const double xmin = std::min(a[0], b[0]), xmax = std::max(a[0], b[0]);
        const double ymin = std::min(a[1], b[1]), ymax = std::max(a[1], b[1]);
        const std::int64_t c0 = col(xmin), c1 = col(xmax), r0 = row(ymin), r1 = row(ymax);
        if (c0 == c1 || r0 == r1) {
            for (std::int64_t r = r0; r <= r1; ++r)
                for (std::int64_t c = c0; c <= c1; ++c) emit(key(r, c));
            return;
        }
        const double slope = (b[0] - a[0]) / (b[1] - a[1]);
        for (std::int64_t r = r0; r <= r1; ++r) {
            // Half a row beyond the band on either side covers points whose
            // row was rounded into this one.
            const double lo = std::max(ymin, y0 + (static_cast<double>(r) - 0.5) * h);
            const double hi = std::min(ymax, y0 + (static_cast<double>(r) + 1.5) * h);
            const double xa = a[0] + (lo - a[1]) * slope;
            const double xb = a[0] + (hi - a[1]) * slope;
            const std::int64_t lo_c = std::max(c0, col(std::min(xa, xb)) - 1);
            const std::int64_t hi_c = std::min(c1, col(std::max(xa, xb)) + 1);
            for (std::int64_t c = lo_c; c <= hi_c; ++c) emit(key(r, c));
        }
    }
};

class Resolver {
public:
    Resolver(std::vector<double>& points, std::vector<int>& segments, std::size_t max_points,
             Stop& stop)
        : pts_(points), segs_(segments), max_points_(max_points), stop_(stop) {}

    CrossingResolution run() {
        CrossingResolution res;
        const std::size_t nseg = segs_.size() / 2;
        if (nseg == 0) return res;  // lone points cross nothing
        seg_dirty_.assign(nseg, 1);
        pt_dirty_.assign(pts_.size() / 2, 1);
        for (int round = 0; round < kMaxRounds; ++round) {
            ++res.rounds;
            splits_.clear();
            const bool complete = find();
            if (complete && splits_.empty()) return res;
            if (!complete) {
                res.converged = false;
                return res;
            }
            res.changed = true;
            apply();
            res.added_points = pts_.size() / 2 - first_new_point();
            if (over_budget_) {
                res.converged = false;
                return res;
            }
        }
        res.converged = false;
        return res;
    }

private:
    const double* P(int i) const { return &pts_[2 * static_cast<std::size_t>(i)]; }
    std::size_t first_new_point() const { return first_new_; }

    bool find() {
        const std::size_t nseg = segs_.size() / 2;
        const std::size_t npts = pts_.size() / 2;
        // Bounding box of the segments and a cell size of about twice the
        // median segment extent (pixel outlines: a few pixels per cell).
        double x0 = HUGE_VAL, y0 = HUGE_VAL, x1 = -HUGE_VAL, y1 = -HUGE_VAL;
        std::vector<double> extent(nseg);
        for (std::size_t s = 0; s < nseg; ++s) {
            tick();
            const double* a = P(segs_[2 * s]);
            const double* b = P(segs_[2 * s + 1]);
            x0 = std::min({x0, a[0], b[0]});
            x1 = std::max({x1, a[0], b[0]});
            y0 = std::min({y0, a[1], b[1]});
            y1 = std::max({y1, a[1], b[1]});
            extent[s] = std::max(std::fabs(a[0] - b[0]), std::fabs(a[1] - b[1]));
        }
        std::nth_element(extent.begin(), extent.begin() + static_cast<std::ptrdiff_t>(nseg / 2),
                         extent.end());
        const double span = std::max(x1 - x0, y1 - y0);
        Grid g;
        g.x0 = x0;
        g.y0 = y0;
        g.h = std::max(2.0 * extent[nseg / 2], span / max_cells_per_axis(nseg));
        if (!(g.h > 0.0)) g.h = 1.0;

        // Cell entries (key, id): id >= 0 a segment, id < 0 the point ~id.
        // Too many (long segments over a fine grid): coarsen and retry.
        const std::size_t entry_budget = 32 * nseg + npts + 4096;
        std::vector<std::pair<std::uint64_t, int>> cells;
        for (;;) {
            g.cols = static_cast<std::int64_t>((x1 - x0) / g.h) + 1;
            g.rows = static_cast<std::int64_t>((y1 - y0) / g.h) + 1;
            std::size_t count = 0;
            for (std::size_t s = 0; s < nseg && count <= entry_budget; ++s) {
                const std::size_t before = count;
                g.cells_of_segment(P(segs_[2 * s]), P(segs_[2 * s + 1]),
                                   [&](std::uint64_t) { ++count; });
                tick(1 + count - before);
            }
            if (count <= entry_budget) {
                cells.reserve(count + npts);
                break;
            }
            g.h *= 4.0;
        }
        // Segments over many cells meet each other in many cells: such pairs
        // are tested once, remembered in `tested`.
        std::vector<char> spread(nseg, 0);
        for (std::size_t s = 0; s < nseg; ++s) {
            const std::size_t before = cells.size();
            g.cells_of_segment(P(segs_[2 * s]), P(segs_[2 * s + 1]),
                               [&](std::uint64_t k) { cells.emplace_back(k, static_cast<int>(s)); });
            spread[s] = cells.size() - before > 16;
            tick(1 + cells.size() - before);
        }
        std::unordered_set<std::uint64_t> tested;
        for (std::size_t p = 0; p < npts; ++p) {
            tick();
            const double* q = P(static_cast<int>(p));
            if (q[0] < x0 || q[0] > x1 || q[1] < y0 || q[1] > y1) continue;
            cells.emplace_back(g.key(g.row(q[1]), g.col(q[0])), ~static_cast<int>(p));
        }
        sort_interruptibly(cells);

        // Quadratic work inside crowded cells is capped; beyond it the input
        // is left to the isolated fallback.
        // Point tests are counted apart: a cell with few segments and very
        // many free points costs time linear in the points (a simple polygon
        // with a million free points inside), which must not count as the
        // crowding this budget is about.
        std::size_t tests = 0, point_tests = 0;
        const std::size_t test_budget = 256 * nseg + 5000000;
        const std::size_t point_test_budget = 64 * (nseg + npts) + 5000000;
        std::vector<int> cell_segs, cell_pts;
        for (std::size_t i = 0; i < cells.size();) {
            std::size_t j = i;
            cell_segs.clear();
            cell_pts.clear();
            for (; j < cells.size() && cells[j].first == cells[i].first; ++j) {
                const int id = cells[j].second;
                if (id >= 0) {
                    if (cell_segs.empty() || cell_segs.back() != id) cell_segs.push_back(id);
                } else {
                    cell_pts.push_back(~id);
                }
            }
            i = j;
            for (std::size_t u = 0; u < cell_segs.size(); ++u) {
                const int s = cell_segs[u];
                for (std::size_t v = u + 1; v < cell_segs.size(); ++v) {
                    const int t = cell_segs[v];
                    if (!seg_dirty_[s] && !seg_dirty_[t]) continue;
                    if (spread[s] && spread[t] &&
                        !tested.insert((std::uint64_t{static_cast<std::uint32_t>(s)} << 32) |
                                       static_cast<std::uint32_t>(t))
                             .second) {
                        continue;
                    }
                    if (++tests > test_budget) return false;
                    tick();
                    test_segments(s, t);
                }
                for (int p : cell_pts) {
                    if (!seg_dirty_[s] && !pt_dirty_[p]) continue;
                    if (++point_tests > point_test_budget) return false;
                    tick();
                    test_point(s, p);
                }
            }
            if (over_budget_) return true;
        }
        return true;
    }

    // A point strictly inside segment s splits it.
    void test_point(int s, int p) {
        const int ia = segs_[2 * s], ib = segs_[2 * s + 1];
        if (p == ia || p == ib) return;
        const double *a = P(ia), *b = P(ib), *q = P(p);
        if (q[0] < std::min(a[0], b[0]) || q[0] > std::max(a[0], b[0]) ||
            q[1] < std::min(a[1], b[1]) || q[1] > std::max(a[1], b[1])) {
            return;
        }
        // Collinear and inside the closed box, yet neither end (points are
        // distinct): strictly between the ends.
        if (orientation(a, b, q) == 0) splits_.emplace_back(s, p);
    }

    // Two segments crossing at a point interior to both. Touching and
    // collinear overlaps are found by test_point on the end points.
    void test_segments(int s, int t) {
        const int ia = segs_[2 * s], ib = segs_[2 * s + 1];
        const int ic = segs_[2 * t], id = segs_[2 * t + 1];
        if (ia == ic || ia == id || ib == ic || ib == id) return;
        const double *a = P(ia), *b = P(ib), *c = P(ic), *d = P(id);
        const double lox = std::max(std::min(a[0], b[0]), std::min(c[0], d[0]));
        const double hix = std::min(std::max(a[0], b[0]), std::max(c[0], d[0]));
        const double loy = std::max(std::min(a[1], b[1]), std::min(c[1], d[1]));
        const double hiy = std::min(std::max(a[1], b[1]), std::max(c[1], d[1]));
        if (lox > hix || loy > hiy) return;
        const int o1 = orientation(a, b, c), o2 = orientation(a, b, d);
        if (o1 == 0 || o2 == 0 || o1 == o2) return;
        const int o3 = orientation(c, d, a), o4 = orientation(c, d, b);
        if (o3 == 0 || o4 == 0 || o3 == o4) return;

        // The signed distances of a and b from line cd (up to a common
        // factor) have opposite signs, so their difference does not cancel
        // and the parameter along ab is accurate; interpolate from the
        // nearer end.
        const double da = orientation_exact(c, d, a).estimate();
        const double db = orientation_exact(c, d, b).estimate();
        double x, y;
        const double ta = da / (da - db);
        if (ta <= 0.5) {
            x = a[0] + ta * (b[0] - a[0]);
            y = a[1] + ta * (b[1] - a[1]);
        } else {
            const double tb = db / (db - da);
            x = b[0] + tb * (a[0] - b[0]);
            y = b[1] + tb * (a[1] - b[1]);
        }
        // Keep it where both segments are, then on the float32 lattice the
        // rest of the graph lives on (the box's bounds are float32 values,
        // so rounding cannot leave it).
        x = std::min(std::max(x, lox), hix);
        y = std::min(std::max(y, loy), hiy);
        x = static_cast<double>(static_cast<float>(x));
        y = static_cast<double>(static_cast<float>(y));

        const int p = point_at(x, y);
        if (p < 0) return;
        if (p != ia && p != ib) splits_.emplace_back(s, p);
        if (p != ic && p != id) splits_.emplace_back(t, p);
    }

    // The index of the point at (x, y), appended when new; -1 past the budget.
    int point_at(double x, double y) {
        if (index_.empty()) {
            first_new_ = pts_.size() / 2;
            index_.reserve(first_new_ * 2);
            for (std::size_t i = 0; i < first_new_; ++i) {
                index_.emplace(key_of(pts_[2 * i], pts_[2 * i + 1]), static_cast<int>(i));
            }
        }
        const std::size_t next = pts_.size() / 2;
        const auto found = index_.find(key_of(x, y));
        if (found != index_.end()) return found->second;
        if (next >= max_points_) {
            over_budget_ = true;
            return -1;
        }
        index_.emplace(key_of(x, y), static_cast<int>(next));
        pts_.push_back(x);
        pts_.push_back(y);
        pt_dirty_.push_back(1);
        return static_cast<int>(next);
    }

    // Replaces every split segment by the chain through its split points,
    // ordered along it; drops repeated segments (overlaps become equal pieces).
    void apply() {
        sort_interruptibly(splits_);
        splits_.erase(std::unique(splits_.begin(), splits_.end()), splits_.end());
        const std::size_t nseg = segs_.size() / 2;
        std::vector<int> out;
        std::vector<char> dirty;
        out.reserve(segs_.size() + 2 * splits_.size());
        std::unordered_set<std::uint64_t> seen;
        seen.reserve(nseg + splits_.size());
        const auto emit = [&](int a, int b, char is_new) {
            if (a == b) return;
            const auto lo = static_cast<std::uint32_t>(std::min(a, b));
            const auto hi = static_cast<std::uint32_t>(std::max(a, b));
            if (!seen.insert((std::uint64_t{lo} << 32) | hi).second) return;
            out.push_back(a);
            out.push_back(b);
            dirty.push_back(is_new);
        };
        std::vector<std::pair<double, int>> along;
        std::size_t k = 0;
        for (std::size_t s = 0; s < nseg; ++s) {
            tick();
            const int a = segs_[2 * s], b = segs_[2 * s + 1];
            if (k >= splits_.size() || splits_[k].first != static_cast<int>(s)) {
                emit(a, b, 0);
                continue;
            }
            const double dx = P(b)[0] - P(a)[0], dy = P(b)[1] - P(a)[1];
            along.clear();
            for (; k < splits_.size() && splits_[k].first == static_cast<int>(s); ++k) {
                const double* q = P(splits_[k].second);
                along.emplace_back((q[0] - P(a)[0]) * dx + (q[1] - P(a)[1]) * dy, splits_[k].second);
            }
            std::sort(along.begin(), along.end());
            int prev = a;
            for (const auto& e : along) {
                emit(prev, e.second, 1);
                prev = e.second;
            }
            emit(prev, b, 1);
        }
        segs_.swap(out);
        seg_dirty_.swap(dirty);
        // Only what this round created needs testing next round.
        std::fill(pt_dirty_.begin(), pt_dirty_.end(), 0);
        pt_dirty_.resize(pts_.size() / 2, 0);
        for (std::size_t i = last_round_points_; i < pts_.size() / 2; ++i) pt_dirty_[i] = 1;
        last_round_points_ = pts_.size() / 2;
    }

public:
    void start() {
        last_round_points_ = pts_.size() / 2;
        first_new_ = pts_.size() / 2;
    }

private:
    // std::sort, except that runs of a million elements are sorted apart
    // and merged, with the stop polled between them (a sort of tens of
    // millions of entries takes seconds). The elements are distinct, so the
    // order is the same.
    template <class T>
    void sort_interruptibly(std::vector<T>& v) {
        constexpr std::size_t kRun = std::size_t{1} << 20;
        if (v.size() <= kRun) {
            std::sort(v.begin(), v.end());
            return;
        }
        for (std::size_t i = 0; i < v.size(); i += kRun) {
            stop_.poll();
            std::sort(v.begin() + static_cast<std::ptrdiff_t>(i),
                      v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), i + kRun)));
        }
        for (std::size_t width = kRun; width < v.size(); width *= 2) {
            for (std::size_t i = 0; i + width < v.size(); i += 2 * width) {
                stop_.poll();
                const auto first = v.begin() + static_cast<std::ptrdiff_t>(i);
                std::inplace_merge(first, first + static_cast<std::ptrdiff_t>(width),
                                   v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), i + 2 * width)));
            }
        }
    }

    // Polled every kPollInterval units of work (a segment entered in the
    // grid, a pair or point tested, a segment rebuilt): a few milliseconds.
    void tick(std::size_t units = 1) {
        until_poll_ -= static_cast<std::ptrdiff_t>(units);
        if (until_poll_ <= 0) {
            stop_.poll();
            until_poll_ = kPollInterval;
        }
    }
    static constexpr std::ptrdiff_t kPollInterval = 1 << 15;

    std::vector<double>& pts_;
    std::vector<int>& segs_;
    const std::size_t max_points_;
    Stop& stop_;
    std::ptrdiff_t until_poll_ = kPollInterval;
    std::vector<char> seg_dirty_, pt_dirty_;
    std::vector<std::pair<int, int>> splits_;  // (segment, point inside it)
    std::unordered_map<PointKey, int, PointKeyHash> index_;
    std::size_t first_new_ = 0, last_round_points_ = 0;
    bool over_budget_ = false;
};

}  // namespace

int orientation(const double* a, const double* b, const double* c) {
    const double left = (a[0] - c[0]) * (b[1] - c[1]);
    const double right = (a[1] - c[1]) * (b[0] - c[0]);
    const double det = left - right;
    // (3 + 16 eps) eps with eps = 2^-53: the rounding error of `det` is
    // below this times |left| + |right|.
    constexpr double kBound = 3.3306690738754716e-16;
    const double bound = kBound * (std::fabs(left) + std::fabs(right));
    if (det > bound) return 1;
    if (-det > bound) return -1;
    return orientation_exact(a, b, c).sign();
}

CrossingResolution resolve_crossings(std::vector<double>& points, std::vector<int>& segments,
                                     std::size_t max_points, Stop& stop) {
    Resolver r(points, segments, max_points, stop);
    r.start();
    return r.run();
}

}  // namespace vellumcut
