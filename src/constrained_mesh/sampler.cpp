#include "constrained_mesh/sampler.hpp"

#include "constrained_mesh/block_mt19937.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vellumcut {

namespace {

// An empty cell holds a point at infinity: its distance to any candidate is
// infinite, so it never rejects one and needs no test of its own.
constexpr float kEmptyCell = std::numeric_limits<float>::infinity();
// The grid has this many empty cells around it on every side, so that the
// 5 x 5 neighbourhood of any cell inside it can be read without bounds checks.
constexpr int kGridPad = 2;
constexpr float kTwoPi = 6.2831855f;    // float nearest 2*pi

[[noreturn]] void throw_grid_too_large(int width, int height, float radius) {
    std::ostringstream msg;
    msg << "Poisson radius " << radius << " is too small for a " << width << " x " << height
        << " area: the sampling grid would need more than 2147483647 cells";
    throw std::invalid_argument(msg.str());
}

// trunc(q) as an int, refusing quotients that an int cannot hold (converting
// those would be undefined behaviour).
int checked_trunc(float q, int width, int height, float radius) {
    if (!(q < 2147483648.0f)) throw_grid_too_large(width, height, radius);
    return static_cast<int>(q);
}

// The active list: an ordered list in which entries are appended at the end
// and removed from anywhere, the others keeping their order. Entry i (by
// rank) is found and removed in O(log n) with a Fenwick tree of "still
// active" flags over every point ever appended, instead of shifting a
// vector, which made large samplings quadratic.
class ActiveList {
public:
    bool empty() const { return size_ == 0; }
    std::uint32_t size() const { return size_; }

    void push_back(const cv::Point2f& p) {
        points_.push_back(p);
        const std::size_t i = points_.size();  // 1-based node of the new entry
        // Node i sums the flags of (i - lowbit(i), i]: its own flag plus the
        // nodes that tile the rest of that range.
        int sum = 1;
        const std::size_t low = i - (i & (~i + 1));
        for (std::size_t j = i - 1; j > low; j -= j & (~j + 1)) sum += tree_[j];
        tree_.push_back(sum);
        ++size_;
    }

    // Position (among all appended points) of the entry of rank `rank`.
    std::size_t find(std::uint32_t rank) const {
        const std::size_t n = points_.size();
        std::size_t pos = 0;
        int remaining = static_cast<int>(rank) + 1;
        std::size_t step = 1;
        while (step * 2 <= n) step *= 2;
        for (; step > 0; step /= 2) {
            if (pos + step <= n && tree_[pos + step] < remaining) {
                pos += step;
                remaining -= tree_[pos];
            }
        }
        return pos;  // 0-based position
    }

    const cv::Point2f& at_position(std::size_t pos) const { return points_[pos]; }

    void remove_position(std::size_t pos) {
        for (std::size_t i = pos + 1; i < tree_.size(); i += i & (~i + 1)) --tree_[i];
        --size_;
    }

private:
    std::vector<cv::Point2f> points_;
    std::vector<int> tree_{0};  // 1-based; tree_[0] unused
    std::uint32_t size_ = 0;
};

// Whether some point of the 5 x 5 cells around `centre` (a cell of a grid
// whose rows are `pitch` cells apart) is closer to (cx, cy) than the radius:
// dx and dy the single-precision differences, widened to double, and
// dx * dx + dy * dy < reject_below. Whether some cell rejects the candidate
// does not depend on the order of the visits.
#if defined(__SSE2__)
// Two cells at a time, each product and sum rounded exactly as in the scalar
// expression: the differences of (cx, cy, cx, cy) and (x_a, y_a, x_b, y_b) in
// single precision, widened to double, squared, and dx^2 + dy^2 per cell.
inline __m128d closer_pair(__m128 candidate, __m128 cells, __m128d reject_below) {
    const __m128 d = _mm_sub_ps(candidate, cells);
    const __m128d a = _mm_cvtps_pd(d);
    const __m128d b = _mm_cvtps_pd(_mm_movehl_ps(d, d));
    const __m128d a2 = _mm_mul_pd(a, a);
    const __m128d b2 = _mm_mul_pd(b, b);
    const __m128d sums = _mm_add_pd(_mm_unpacklo_pd(a2, b2), _mm_unpackhi_pd(a2, b2));
    return _mm_cmplt_pd(sums, reject_below);
}

// Two adjacent cells starting at `p`.
inline __m128 adjacent_cells(const cv::Point2f* p) { return _mm_loadu_ps(&p->x); }

// Two cells from anywhere.
inline __m128 two_cells(const cv::Point2f* a, const cv::Point2f* b) {
    return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(a)),
                        reinterpret_cast<const __m64*>(b));
}

bool neighbour_too_close(const cv::Point2f* centre, std::ptrdiff_t pitch, float cx, float cy,
                         __m128d reject_below) {
    const __m128 c = _mm_setr_ps(cx, cy, cx, cy);
    const cv::Point2f* r0 = centre - 2 * pitch - 2;  // first cell of each of the five rows
    const cv::Point2f* r1 = r0 + pitch;
    const cv::Point2f* r2 = r1 + pitch;
    const cv::Point2f* r3 = r2 + pitch;
    const cv::Point2f* r4 = r3 + pitch;
    // The middle three rows first (they reject most candidates), without a
    // branch per cell, then the outer two.
    __m128d hit = closer_pair(c, adjacent_cells(r2 + 1), reject_below);
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r2 + 3), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, two_cells(r2, r1 + 2), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r1), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r1 + 3), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r3), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r3 + 2), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, two_cells(r3 + 4, r0 + 4), reject_below));
    if (_mm_movemask_pd(hit) != 0) return true;
    hit = closer_pair(c, adjacent_cells(r0), reject_below);
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r0 + 2), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r4), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, adjacent_cells(r4 + 2), reject_below));
    hit = _mm_or_pd(hit, closer_pair(c, two_cells(r4 + 4, r4 + 4), reject_below));
    return _mm_movemask_pd(hit) != 0;
}
#else
// The 5 x 5 cells around a candidate's cell, its own cell first, then by distance.
struct CellOffset {
    int dx, dy;
};
constexpr CellOffset kNearestFirst[25] = {
    {0, 0},   {-1, 0}, {1, 0},  {0, -1},  {0, 1},  {-1, -1}, {1, -1}, {-1, 1}, {1, 1},
    {-2, 0},  {2, 0},  {0, -2}, {0, 2},   {-2, -1}, {2, -1}, {-2, 1}, {2, 1},  {-1, -2},
    {1, -2},  {-1, 2}, {1, 2},  {-2, -2}, {2, -2}, {-2, 2}, {2, 2}};

bool neighbour_too_close(const cv::Point2f* centre, std::ptrdiff_t pitch, float cx, float cy,
                         double reject_below) {
    // Nearest cells first find a rejecting neighbour soonest.
    for (const CellOffset& o : kNearestFirst) {
        const cv::Point2f q = centre[o.dy * pitch + o.dx];
        const double dx = static_cast<float>(cx - q.x);
        const double dy = static_cast<float>(cy - q.y);
        if (dx * dx + dy * dy < reject_below) return true;
    }
    return false;
}
#endif

}  // namespace

double sqrt_threshold(float radius) {
    // sqrt is correctly rounded and so never decreases as its argument grows:
    // r > sqrt(s) holds exactly for the s below the smallest double whose root
    // is not below r. r * r (exact for a float r) has root exactly r; step
    // down while the next smaller double still has a root of at least r.
    const double r = radius;
    double limit = r * r;
    while (limit > 0.0) {
        const double below = std::nextafter(limit, 0.0);
        if (!(std::sqrt(below) >= r)) break;
        limit = below;
    }
    return limit;
}

SampleGrid sample_grid(int width, int height, float radius) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("Poisson sampling needs a width and height of at least 1");
    }
    if (!(radius > 0.0f) || !std::isfinite(radius)) {
        throw std::invalid_argument("Poisson radius must be a finite number above 0");
    }
    SampleGrid g;
    g.cell = radius / std::sqrt(2.0f);
    const float fw = static_cast<float>(width);
    const float fh = static_cast<float>(height);
    g.gx_max = checked_trunc(fw / g.cell, width, height, radius);
    g.gy_max = checked_trunc(fh / g.cell, width, height, radius);
    const std::int64_t cols = static_cast<std::int64_t>(g.gx_max) + 1;
    const std::int64_t rows = static_cast<std::int64_t>(g.gy_max) + 1;
    if (cols * rows > std::numeric_limits<std::int32_t>::max()) {
        throw_grid_too_large(width, height, radius);
    }
    g.cols = static_cast<int>(cols);
    g.rows = static_cast<int>(rows);
    return g;
}

namespace {

#ifdef VELLUMCUT_HAVE_BLOCK_MT19937
// Grids from this many cells up draw from a BlockMt19937. The state's round
// trip through text costs what some ten thousand draws save; a grid this
// size takes hundreds of thousands of draws.
constexpr std::int64_t kBlockEngineCells = std::int64_t{1} << 16;
#endif

// `should_stop()` is called every kStopPollInterval active-point visits (at
// most 30 candidates each, a millisecond or two); true ends the drawing with
// the points accepted so far, and it may also throw.
template <class Engine, class ShouldStop>
std::vector<cv::Point2f> draw_samples(const SampleGrid& g, int width, int height, float radius,
                                      int attempts, Engine& engine, ShouldStop&& should_stop) {
    const float W = static_cast<float>(width);
    const float H = static_cast<float>(height);
    const float c = g.cell;
    const double reject_below = sqrt_threshold(radius);

    // Cell (gx, gy) is grid[(gy + kGridPad) * pitch + gx + kGridPad].
    const std::ptrdiff_t pitch = static_cast<std::ptrdiff_t>(g.cols) + 2 * kGridPad;
    // Filled a few megabytes at a time, asking to stop in between: the grid
    // of a large mask at a radius of 1 takes a gigabyte and a second to fill.
    const std::size_t cells =
        static_cast<std::size_t>(pitch) * (static_cast<std::size_t>(g.rows) + 2 * kGridPad);
    constexpr std::size_t kFillChunk = std::size_t{1} << 20;
    std::vector<cv::Point2f> grid;
    grid.reserve(cells);
    while (grid.size() < cells) {
        if (!grid.empty() && should_stop()) return {};
        grid.insert(grid.end(), std::min(kFillChunk, cells - grid.size()),
                    cv::Point2f(kEmptyCell, kEmptyCell));
    }
    // The cell of a point inside [0, W) x [0, H); gx <= gx_max and gy <= gy_max.
    auto cell_at = [&](float x, float y) -> cv::Point2f* {
        const std::ptrdiff_t gx = static_cast<int>(x / c);
        const std::ptrdiff_t gy = static_cast<int>(y / c);
        return grid.data() + (gy + kGridPad) * pitch + gx + kGridPad;
    };
#if defined(__SSE2__)
    const __m128d reject_limit = _mm_set1_pd(reject_below);
#else
    const double reject_limit = reject_below;
#endif

    std::vector<cv::Point2f> out;
    ActiveList active;

    const float x0 = unit_float(engine) * W;
    const float y0 = unit_float(engine) * H;
    const cv::Point2f seed(x0, y0);
    out.push_back(seed);
    active.push_back(seed);
    *cell_at(x0, y0) = seed;

    constexpr std::uint32_t kStopPollInterval = 4096;
    std::uint32_t until_poll = kStopPollInterval;
    while (!active.empty()) {
        if (--until_poll == 0) {
            if (should_stop()) break;
            until_poll = kStopPollInterval;
        }
        const std::size_t pos = active.find(uniform_index(engine, active.size()));
        const cv::Point2f p = active.at_position(pos);
        bool spawned = false;
        for (int k = 0; k < attempts; ++k) {
            // Angle first, then distance; d is uniform along the radius in [r, 2r).
            const float a = unit_float(engine) * kTwoPi;
            const float d = (unit_float(engine) + 1.0f) * radius;
            const float cy = d * std::sin(a) + p.y;
            const float cx = std::cos(a) * d + p.x;
            if (cx < 0.0f || cy < 0.0f || cx >= W || cy >= H) continue;

            cv::Point2f* cell = cell_at(cx, cy);
            if (neighbour_too_close(cell, pitch, cx, cy, reject_limit)) continue;

            const cv::Point2f cand(cx, cy);
            out.push_back(cand);
            active.push_back(cand);
            *cell = cand;
            spawned = true;
            break;
        }
        if (!spawned) {
            active.remove_position(pos);  // the others keep their order
        }
    }
    return out;
}

template <class ShouldStop>
std::vector<cv::Point2f> sample_with(const SampleGrid& g, int width, int height, float radius,
                                     int attempts, std::mt19937& engine,
                                     ShouldStop&& should_stop) {
#ifdef VELLUMCUT_HAVE_BLOCK_MT19937
    if (static_cast<std::int64_t>(g.cols) * g.rows >= kBlockEngineCells) {
        // An Interrupted thrown through here leaves `engine` as it was; the
        // caller abandons the call anyway.
        BlockMt19937 block(engine);
        std::vector<cv::Point2f> out =
            draw_samples(g, width, height, radius, attempts, block, should_stop);
        block.store(engine);
        return out;
    }
#endif
    return draw_samples(g, width, height, radius, attempts, engine, should_stop);
}

}  // namespace

std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts,
                                             std::mt19937& engine, const std::atomic<bool>* stop) {
    return poisson_disk_sample(sample_grid(width, height, radius), width, height, radius, attempts,
                               engine, stop);
}

std::vector<cv::Point2f> poisson_disk_sample(const SampleGrid& g, int width, int height,
                                             float radius, int attempts, std::mt19937& engine,
                                             const std::atomic<bool>* stop) {
    return sample_with(g, width, height, radius, attempts, engine, [stop] {
        return stop != nullptr && stop->load(std::memory_order_relaxed);
    });
}

std::vector<cv::Point2f> poisson_disk_sample(const SampleGrid& g, int width, int height,
                                             float radius, int attempts, std::mt19937& engine,
                                             Stop& stop) {
    return sample_with(g, width, height, radius, attempts, engine, [&stop] {
        stop.poll();
        return false;
    });
}

std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts) {
    std::random_device device;
    std::mt19937 engine(device());
    return poisson_disk_sample(width, height, radius, attempts, engine);
}

}  // namespace vellumcut
