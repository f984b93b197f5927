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
    RingIndex index;
    const std::size_t n = ring.size();
    index.all.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        index.all.push_back({ring[i == 0 ? n - 1 : i - 1], ring[i]});
    }
    if (n == 0) {
        index.linear = true;
        return index;
    }

    float y_min = ring[0].y;
    float y_max = ring[0].y;
    for (const cv::Point2f& p : ring) {
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
            return index;
        }
        scale *= 0.5;
    }
}

int ring_test(const RingIndex& index, cv::Point2f pt) {
    if (index.linear) {
        // Also the empty ring, for which OpenCV answers -1.
        return walk(index.all.data(), index.all.data() + index.all.size(), pt);
    }
    // Outside the ring's y-range (NaN and infinities included) no edge counts
    // and none can report "on the ring".
    if (!(pt.y >= index.y_min && pt.y <= index.y_max)) {
        return -1;
    }
    const double t = static_cast<double>(pt.y) * index.scale;
    const double k = std::floor(t);
    const std::int64_t slot = 2 * (static_cast<std::int64_t>(k) - index.base) + (t != k ? 1 : 0);
    const RingEdge* edges = index.edges.data();
    return walk(edges + index.start[static_cast<std::size_t>(slot)],
                edges + index.start[static_cast<std::size_t>(slot) + 1], pt);
}

}  // namespace vellumcut
