#include "constrained_mesh/ring_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vellumcut {

namespace {

// Outcome of one edge for OpenCV's crossing-number walk.
enum class EdgeOutcome { none, crossing, on_ring };

// One step of cv::pointPolygonTest's float path with measureDist = false,
// v0 being the previous ring point and v the current one. The comparisons and
// the expression are OpenCV's own: coordinate differences in single precision,
// cross product in double. Changing either changes results on the ring.
inline EdgeOutcome edge_step(const cv::Point2f& v0, const cv::Point2f& v, const cv::Point2f& pt) {
    if ((v0.y <= pt.y && v.y <= pt.y) || (v0.y > pt.y && v.y > pt.y) ||
        (v0.x < pt.x && v.x < pt.x)) {
        if (pt.y == v.y &&
            (pt.x == v.x || (pt.y == v0.y && ((v0.x <= pt.x && pt.x <= v.x) ||
                                              (v.x <= pt.x && pt.x <= v0.x))))) {
            return EdgeOutcome::on_ring;
        }
        return EdgeOutcome::none;
    }
    double dist = (double)(pt.y - v0.y) * (v.x - v0.x) - (double)(pt.x - v0.x) * (v.y - v0.y);
    if (dist == 0) {
        return EdgeOutcome::on_ring;
    }
    if (v.y < v0.y) {
        dist = -dist;
    }
    return dist > 0 ? EdgeOutcome::crossing : EdgeOutcome::none;
}

// Whether both ends of the edge lie left of pt: then OpenCV's step takes its
// first branch and, with pt.x above both x, finds neither a crossing nor the
// ring. False for a NaN pt.x, which is then walked edge by edge as OpenCV does.
inline bool wholly_left(const RingEdge& e, const cv::Point2f& pt) {
    return std::max(e.from.x, e.to.x) < pt.x;
}

// Walks every edge in [first, last) as one ring (the whole-ring fallback).
inline int walk(const RingEdge* first, const RingEdge* last, const cv::Point2f& pt) {
    int counter = 0;
    for (const RingEdge* e = first; e != last; ++e) {
        const EdgeOutcome o = edge_step(e->from, e->to, pt);
        if (o == EdgeOutcome::on_ring) {
            return 0;
        }
        counter += o == EdgeOutcome::crossing;
    }
    return counter % 2 == 0 ? -1 : 1;
}

// One ring group of a slot, its edges sorted by larger x, largest first: the
// edges not wholly left of pt decide. `on_ring` is set when one of them has
// pt on it; otherwise the result is the number of crossings.
inline int walk_group(const RingEdge* e, const RingEdge* end, const cv::Point2f& pt,
                      bool& on_ring) {
    int counter = 0;
    for (; e != end && !wholly_left(*e, pt); ++e) {
        const EdgeOutcome o = edge_step(e->from, e->to, pt);
        if (o == EdgeOutcome::on_ring) {
            on_ring = true;
            return 0;
        }
        counter += o == EdgeOutcome::crossing;
    }
    return counter;
}

// The slot's edges as one ring (an index built from a single ring has one
// group per slot; several groups are walked as one ring, as OpenCV would).
inline int walk_slot(const RingEdge* base, const RingEdge* first, const RingEdge* last,
                     const cv::Point2f& pt) {
    int counter = 0;
    for (const RingEdge* e = first; e != last; e = base + e->group_end) {
        bool on_ring = false;
        counter += walk_group(e, base + e->group_end, pt, on_ring);
        if (on_ring) {
            return 0;
        }
    }
    return counter % 2 == 0 ? -1 : 1;
}

// Edges of several rings, grouped by ring in increasing ring order: the first
// ring whose own walk is not negative, or -1. A ring with no edge in the range
// has no edge whose y-range holds pt.y, so it would answer -1.
inline int first_not_outside(const RingEdge* base, const RingEdge* first, const RingEdge* last,
                             const cv::Point2f& pt) {
    for (const RingEdge* e = first; e != last; e = base + e->group_end) {
        bool on_ring = false;
        const int counter = walk_group(e, base + e->group_end, pt, on_ring);
        if (on_ring || counter % 2 != 0) {
            return e->ring;
        }
    }
    return -1;
}

// Beyond this the slot arithmetic in doubles and 64-bit integers stops being
// obviously exact; such rings are walked edge by edge.
constexpr double kMaxIndexedY = 1e15;

// Slot range [lo_slot, hi_slot] (inclusive) of an edge with scaled y-range [lo, hi].
inline void slot_range(double lo, double hi, std::int64_t base, std::int64_t& first,
                       std::int64_t& last) {
    const double fl = std::floor(lo);
    const double ch = std::ceil(hi);
    // Exact slots: whole numbers k with lo <= k <= hi. Interior slots: k with
    // lo < k + 1 and hi > k, i.e. floor(lo) <= k <= ceil(hi) - 1.
    const std::int64_t exact_lo = static_cast<std::int64_t>(std::ceil(lo)) - base;
    const std::int64_t exact_hi = static_cast<std::int64_t>(std::floor(hi)) - base;
    const std::int64_t open_lo = static_cast<std::int64_t>(fl) - base;
    const std::int64_t open_hi = static_cast<std::int64_t>(ch) - 1 - base;
    first = std::min(2 * exact_lo, 2 * open_lo + 1);
    last = std::max(2 * exact_hi, 2 * open_hi + 1);
}

inline bool slot_hit(double lo, double hi, std::int64_t base, std::int64_t slot) {
    const std::int64_t k = (slot >> 1) + base;
    const double kd = static_cast<double>(k);
    if ((slot & 1) == 0) {
        return lo <= kd && kd <= hi;
    }
    return lo < kd + 1.0 && hi > kd;
}

}  // namespace

RingIndex build_ring_index(const Loop& ring) {
    return build_ring_index(std::vector<Loop>{ring});
}

RingIndex build_ring_index(const std::vector<Loop>& rings) {
    RingIndex index;
    std::size_t total = 0;
    for (const Loop& ring : rings) {
        total += ring.size();
    }
    index.all.reserve(total);
    for (std::size_t r = 0; r < rings.size(); ++r) {
        const Loop& ring = rings[r];
        const std::size_t n = ring.size();
        for (std::size_t i = 0; i < n; ++i) {
            index.all.push_back({ring[i == 0 ? n - 1 : i - 1], ring[i], static_cast<int>(r)});
        }
    }
    const std::size_t n = total;
    if (n == 0) {
        index.linear = true;
        return index;
    }

    float y_min = index.all[0].to.y;
    float y_max = index.all[0].to.y;
    for (const RingEdge& e : index.all) {
        const cv::Point2f& p = e.to;
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || std::fabs(p.y) > kMaxIndexedY) {
            index.linear = true;
            return index;
        }
        y_min = std::min(y_min, p.y);
        y_max = std::max(y_max, p.y);
    }
    index.y_min = y_min;
    index.y_max = y_max;

    // Unit rows suit pixel outlines; rings that span far more rows than they
    // have edges get coarser rows (a power of two keeps y * scale exact). If
    // long edges would still fill too many slots, coarsen further.
    const double span = static_cast<double>(y_max) - static_cast<double>(y_min);
    const double row_budget = 4.0 * static_cast<double>(n) + 64.0;
    const std::uint64_t entry_budget = 24ull * n + 4096ull;
    double scale = 1.0;
    while (span * scale > row_budget) {
        scale *= 0.5;
    }
    for (;;) {
        const std::int64_t base = static_cast<std::int64_t>(std::floor(y_min * scale));
        const std::int64_t rows =
            static_cast<std::int64_t>(std::floor(y_max * scale)) - base + 1;
        std::uint64_t entries = 0;
        for (const RingEdge& e : index.all) {
            const double lo = std::min(e.from.y, e.to.y) * scale;
            const double hi = std::max(e.from.y, e.to.y) * scale;
            std::int64_t first = 0, last = 0;
            slot_range(lo, hi, base, first, last);
            entries += static_cast<std::uint64_t>(last - first + 1);
        }
        if (entries <= entry_budget || rows <= 2) {
            if (entries > std::numeric_limits<std::uint32_t>::max()) {
                index.linear = true;
                return index;
            }
            index.scale = scale;
            index.base = base;
            const std::size_t slots = static_cast<std::size_t>(2 * rows);
            index.start.assign(slots + 1, 0);
            // Counting pass, then placement (edges keep ring order within a slot).
            for (const RingEdge& e : index.all) {
                const double lo = std::min(e.from.y, e.to.y) * scale;
                const double hi = std::max(e.from.y, e.to.y) * scale;
                std::int64_t first = 0, last = 0;
                slot_range(lo, hi, base, first, last);
                for (std::int64_t s = first; s <= last; ++s) {
                    if (slot_hit(lo, hi, base, s)) {
                        ++index.start[static_cast<std::size_t>(s) + 1];
                    }
                }
            }
            for (std::size_t s = 0; s < slots; ++s) {
                index.start[s + 1] += index.start[s];
            }
            index.edges.resize(index.start[slots]);
            std::vector<std::uint32_t> fill(index.start.begin(), index.start.end() - 1);
            for (const RingEdge& e : index.all) {
                const double lo = std::min(e.from.y, e.to.y) * scale;
                const double hi = std::max(e.from.y, e.to.y) * scale;
                std::int64_t first = 0, last = 0;
                slot_range(lo, hi, base, first, last);
                for (std::int64_t s = first; s <= last; ++s) {
                    if (slot_hit(lo, hi, base, s)) {
                        index.edges[fill[static_cast<std::size_t>(s)]++] = e;
                    }
                }
            }
            // Ring groups within each slot: largest x first, and where each ends.
            for (std::size_t s = 0; s < slots; ++s) {
                std::uint32_t g = index.start[s];
                const std::uint32_t slot_end = index.start[s + 1];
                while (g < slot_end) {
                    std::uint32_t g_end = g + 1;
                    while (g_end < slot_end && index.edges[g_end].ring == index.edges[g].ring) {
                        ++g_end;
                    }
                    std::sort(index.edges.begin() + g, index.edges.begin() + g_end,
                              [](const RingEdge& a, const RingEdge& b) {
                                  return std::max(a.from.x, a.to.x) > std::max(b.from.x, b.to.x);
                              });
                    for (std::uint32_t i = g; i < g_end; ++i) index.edges[i].group_end = g_end;
                    g = g_end;
                }
            }
            return index;
        }
        scale *= 0.5;
    }
}

namespace {

// The slot's edges for a query, or false when pt.y lies outside every ring's
// y-range (NaN and infinities included): then no edge counts and none can
// report "on the ring".
inline bool slot_edges(const RingIndex& index, const cv::Point2f& pt, const RingEdge*& first,
                       const RingEdge*& last) {
    if (index.linear) {
        first = index.all.data();
        last = first + index.all.size();
        return true;
    }
    if (!(pt.y >= index.y_min && pt.y <= index.y_max)) {
        return false;
    }
    const double t = static_cast<double>(pt.y) * index.scale;
    const double k = std::floor(t);
    const std::size_t slot =
        static_cast<std::size_t>(2 * (static_cast<std::int64_t>(k) - index.base) + (t != k ? 1 : 0));
    first = index.edges.data() + index.start[slot];
    last = index.edges.data() + index.start[slot + 1];
    return true;
}

}  // namespace

int ring_test(const RingIndex& index, cv::Point2f pt) {
    const RingEdge* first = nullptr;
    const RingEdge* last = nullptr;
    // An empty ring also ends up here as "outside".
    if (!slot_edges(index, pt, first, last)) {
        return -1;
    }
    if (index.linear) {
        return walk(first, last, pt);
    }
    return walk_slot(index.edges.data(), first, last, pt);
}

int first_ring_not_outside(const RingIndex& index, cv::Point2f pt) {
    const RingEdge* first = nullptr;
    const RingEdge* last = nullptr;
    if (!slot_edges(index, pt, first, last)) {
        return -1;
    }
    if (index.linear) {
        // Whole rings one after another, in ring order.
        for (const RingEdge* e = first; e != last;) {
            const RingEdge* ring_end = e;
            while (ring_end != last && ring_end->ring == e->ring) ++ring_end;
            if (walk(e, ring_end, pt) >= 0) {
                return e->ring;
            }
            e = ring_end;
        }
        return -1;
    }
    return first_not_outside(index.edges.data(), first, last, pt);
}

}  // namespace vellumcut
