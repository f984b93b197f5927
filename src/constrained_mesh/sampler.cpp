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

}  // namespace

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
                                             std::mt19937& engine) {
    const SampleGrid g = sample_grid(width, height, radius);
    const float W = static_cast<float>(width);
    const float H = static_cast<float>(height);
    const float c = g.cell;
    const double r_d = radius;

    std::vector<cv::Point2f> grid(static_cast<std::size_t>(g.cols) * g.rows,
                                  cv::Point2f(kEmptyCell, kEmptyCell));
    auto cell_of = [&](const cv::Point2f& p) -> cv::Point2f& {
        const int gx = static_cast<int>(p.x / c);
        const int gy = static_cast<int>(p.y / c);
        return grid[static_cast<std::size_t>(gy) * g.cols + gx];
    };

    std::vector<cv::Point2f> out;
    std::vector<cv::Point2f> active;

    const float x0 = unit_float(engine) * W;
    const float y0 = unit_float(engine) * H;
    const cv::Point2f seed(x0, y0);
    out.push_back(seed);
    active.push_back(seed);
    cell_of(seed) = seed;

    while (!active.empty()) {
        const std::uint32_t i = uniform_index(engine, static_cast<std::uint32_t>(active.size()));
        const cv::Point2f p = active[i];
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
            bool too_close = false;
            for (int xx = x_lo; xx <= x_hi && !too_close; ++xx) {
                for (int yy = y_lo; yy <= y_hi; ++yy) {
                    const cv::Point2f& q = grid[static_cast<std::size_t>(yy) * g.cols + xx];
                    if (q.x < 0.0f) continue;
                    const double dx = static_cast<float>(cx - q.x);
                    const double dy = static_cast<float>(cy - q.y);
                    if (r_d > std::sqrt(dx * dx + dy * dy)) {
                        too_close = true;
                        break;
                    }
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
            active.erase(active.begin() + i);  // keeps the order of the others
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
