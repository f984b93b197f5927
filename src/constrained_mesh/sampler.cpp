#include "constrained_mesh/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vellumcut {

namespace {

constexpr float kEmptyCell = -9999.0f;  // a cell is occupied when its x is >= 0
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

// The 5 x 5 cells around a candidate's cell, its own cell first, then by distance.
struct CellOffset {
    int dx, dy;
};
constexpr CellOffset kNearestFirst[25] = {
    {0, 0},   {-1, 0}, {1, 0},  {0, -1},  {0, 1},  {-1, -1}, {1, -1}, {-1, 1}, {1, 1},
    {-2, 0},  {2, 0},  {0, -2}, {0, 2},   {-2, -1}, {2, -1}, {-2, 1}, {2, 1},  {-1, -2},
    {1, -2},  {-1, 2}, {1, 2},  {-2, -2}, {2, -2}, {-2, 2}, {2, 2}};

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

std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts,
                                             std::mt19937& engine, const std::atomic<bool>* stop) {
    const SampleGrid g = sample_grid(width, height, radius);
    const float W = static_cast<float>(width);
    const float H = static_cast<float>(height);
    const float c = g.cell;
    const double reject_below = sqrt_threshold(radius);

    std::vector<cv::Point2f> grid(static_cast<std::size_t>(g.cols) * g.rows,
                                  cv::Point2f(kEmptyCell, kEmptyCell));
    auto cell_of = [&](const cv::Point2f& p) -> cv::Point2f& {
        const int gx = static_cast<int>(p.x / c);
        const int gy = static_cast<int>(p.y / c);
        return grid[static_cast<std::size_t>(gy) * g.cols + gx];
    };

    std::vector<cv::Point2f> out;
    ActiveList active;

    const float x0 = unit_float(engine) * W;
    const float y0 = unit_float(engine) * H;
    const cv::Point2f seed(x0, y0);
    out.push_back(seed);
    active.push_back(seed);
    cell_of(seed) = seed;

    constexpr std::uint32_t kStopPollInterval = 4096;
    std::uint32_t until_poll = kStopPollInterval;
    while (!active.empty()) {
        if (stop != nullptr && --until_poll == 0) {
            if (stop->load(std::memory_order_relaxed)) break;
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

            const int gx = static_cast<int>(cx / c);
            const int gy = static_cast<int>(cy / c);
            const int x_lo = std::max(gx - 2, 0), x_hi = std::min(gx + 2, g.gx_max);
            const int y_lo = std::max(gy - 2, 0), y_hi = std::min(gy + 2, g.gy_max);
            // Whether some neighbour rejects the candidate does not depend on
            // the order of the visits; nearest cells first find it soonest.
            bool too_close = false;
            for (const CellOffset& o : kNearestFirst) {
                const int xx = gx + o.dx, yy = gy + o.dy;
                if (xx < x_lo || xx > x_hi || yy < y_lo || yy > y_hi) continue;
                const cv::Point2f q = grid[static_cast<std::size_t>(yy) * g.cols + xx];
                if (q.x < 0.0f) continue;
                const double dx = static_cast<float>(cx - q.x);
                const double dy = static_cast<float>(cy - q.y);
                // Same outcome as r > sqrt(dx * dx + dy * dy); see reject_below.
                if (dx * dx + dy * dy < reject_below) {
                    too_close = true;
                    break;
                }
            }
            if (too_close) continue;

            const cv::Point2f cand(cx, cy);
            out.push_back(cand);
            active.push_back(cand);
            cell_of(cand) = cand;
            spawned = true;
            break;
        }
        if (!spawned) {
            active.remove_position(pos);  // the others keep their order
        }
    }
    return out;
}

std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts) {
    std::random_device device;
    std::mt19937 engine(device());
    return poisson_disk_sample(width, height, radius, attempts, engine);
}

}  // namespace vellumcut
