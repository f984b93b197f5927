// Poisson-disk sampling of a rectangle (Bridson's method over a background grid).
//
// The exact sequence of random draws and the precision of every step are part
// of the contract: the same engine state always yields the same points.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {

// Background grid of the sampler. Cells are square with side r / sqrt(2), so a
// cell can hold at most one accepted point; cells are stored row by row.
struct SampleGrid {
    float cell = 0.0f;  // side of a cell, single precision
    int gx_max = 0;     // highest column index, trunc(W / cell)
    int gy_max = 0;     // highest row index, trunc(H / cell)
    int cols = 0;       // gx_max + 1
    int rows = 0;       // gy_max + 1
};

// Grid for a width x height rectangle and minimum distance `radius`.
// Throws std::invalid_argument when width or height is below 1, when radius
// is not a finite number above 0, or when the grid would hold more than
// INT32_MAX cells.
SampleGrid sample_grid(int width, int height, float radius);

// The neighbour test rejects a candidate when r > sqrt(s), s = dx^2 + dy^2 in
// double. This returns the double L with r > sqrt(s) exactly when s < L, so
// the test needs no square root. radius must be finite and above 0.
double sqrt_threshold(float radius);

// Uniform float in [0, 1) from the top 24 bits of one 32-bit engine output.
template <class Engine>
inline float unit_float(Engine& engine) {
    const std::uint32_t u = static_cast<std::uint32_t>(engine());
    return static_cast<float>(u >> 8) * 5.9604645e-8f;  // 2^-24, exact
}

// Unbiased index in 0 .. n-1 (n >= 1) by Lemire's multiply-and-reject method:
// the high half of output * n is the index; an output whose low half falls
// below (2^32 - n) mod n is drawn again.
template <class Engine>
inline std::uint32_t uniform_index(Engine& engine, std::uint32_t n) {
    std::uint64_t m = static_cast<std::uint64_t>(static_cast<std::uint32_t>(engine())) * n;
    std::uint32_t low = static_cast<std::uint32_t>(m);
    if (low < n) {
        const std::uint32_t threshold = static_cast<std::uint32_t>(0u - n) % n;
        while (low < threshold) {
            m = static_cast<std::uint64_t>(static_cast<std::uint32_t>(engine())) * n;
            low = static_cast<std::uint32_t>(m);
        }
    }
    return static_cast<std::uint32_t>(m >> 32);
}

// Points in [0, width) x [0, height), no two closer than `radius`, grown from
// one random seed point; `attempts` candidates are tried around an active
// point before it is retired (0 or less retires it at once). The first point
// is the seed point, the rest follow in acceptance order. Every draw comes
// from `engine`, so a caller that seeds it can replay a run.
//
// `stop`, when given, is polled every few thousand active-point visits; once it
// reads true, sampling ends early and returns the points accepted so far (for
// a caller that no longer wants the result).
std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts,
                                             std::mt19937& engine,
                                             const std::atomic<bool>* stop = nullptr);

// As above on `grid`, which sample_grid(width, height, radius) made.
std::vector<cv::Point2f> poisson_disk_sample(const SampleGrid& grid, int width, int height,
                                             float radius, int attempts, std::mt19937& engine,
                                             const std::atomic<bool>* stop = nullptr);

// As above, calling `stop.poll()` as often (it throws Interrupted; no partial
// result).
std::vector<cv::Point2f> poisson_disk_sample(const SampleGrid& grid, int width, int height,
                                             float radius, int attempts, std::mt19937& engine,
                                             Stop& stop);

// As above with a fresh engine seeded from std::random_device.
std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts);

}  // namespace vellumcut
