// The spacing grid must keep exactly the points that the in-order scan over
// every kept point keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "constrained_mesh/spacing_grid.hpp"

using vellumcut::Loop;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The scan as the Poisson filter states it.
std::vector<bool> scan_keeps(const Loop& candidates, float s) {
    Loop kept;
    std::vector<bool> flags;
    for (const cv::Point2f& p : candidates) {
        bool ok = true;
        for (const cv::Point2f& q : kept) {
            const float dx = p.x - q.x;
            const float dy = p.y - q.y;
            if (dx * dx + dy * dy < s) {
                ok = false;
                break;
            }
        }
        flags.push_back(ok);
        if (ok) {
            kept.push_back(p);
        }
    }
    return flags;
}

std::vector<bool> grid_keeps(const Loop& candidates, float s, int w, int h) {
    vellumcut::SpacingGrid grid = vellumcut::make_spacing_grid(s, w, h);
    std::vector<bool> flags;
    for (const cv::Point2f& p : candidates) {
        const bool ok = vellumcut::spacing_ok(grid, p);
        flags.push_back(ok);
        if (ok) {
            vellumcut::spacing_add(grid, p);
        }
    }
    return flags;
}

// Candidates that stress the boundary of the test: lattice points exactly r
// apart, points a float step nearer or farther than r from earlier ones,
// points outside the rectangle and a few non-finite ones.
Loop candidates(std::mt19937& rng, float r, int w, int h, int count) {
    Loop pts;
    const float fw = static_cast<float>(w), fh = static_cast<float>(h);
    std::uniform_real_distribution<float> ux(-0.05f * fw, 1.05f * fw), uy(-0.05f * fh, 1.05f * fh);
    std::uniform_real_distribution<float> angle(0.0f, 6.2831855f);
    std::uniform_int_distribution<int> kind(0, 9);
    for (int i = 0; i < count; ++i) {
        const int k = kind(rng);
        if (k <= 3 || pts.empty()) {
            pts.push_back({ux(rng), uy(rng)});
        } else if (k <= 5) {
            // r away from an earlier point along an axis, nudged by one ulp.
            const cv::Point2f q = pts[std::uniform_int_distribution<std::size_t>(0, pts.size() - 1)(rng)];
            const float d = k == 4 ? r : std::nextafter(r, k % 2 ? kInf : 0.0f);
            pts.push_back(rng() % 2 ? cv::Point2f(q.x + d, q.y) : cv::Point2f(q.x, q.y - d));
            pts.back().x = std::nextafter(pts.back().x, rng() % 3 == 0 ? -kInf : pts.back().x);
        } else if (k <= 7) {
            // At distance about r in a random direction.
            const cv::Point2f q = pts[std::uniform_int_distribution<std::size_t>(0, pts.size() - 1)(rng)];
            const float a = angle(rng);
            pts.push_back({q.x + r * std::cos(a), q.y + r * std::sin(a)});
        } else if (k == 8) {
            pts.push_back({std::floor(ux(rng) / r) * r, std::floor(uy(rng) / r) * r});
        } else {
            const float v[] = {kNaN, kInf, -kInf, 1e30f, -1e30f};
            pts.push_back({v[rng() % 5], uy(rng)});
            if (rng() % 2) std::swap(pts.back().x, pts.back().y);
        }
    }
    return pts;
}

}  // namespace

TEST(SpacingGrid, KeepsExactlyWhatTheScanKeeps) {
    std::mt19937 rng(12345);
    long kept = 0, rejected = 0;
    for (float r : {0.5f, 1.0f, 3.0f, 4.0f, 7.3f, 8.0f, 16.0f, 0.013f, 250.0f}) {
        for (int round = 0; round < 6; ++round) {
            const int w = 40 + round * 37, h = 30 + round * 53;
            const float s = r * r;
            const Loop pts = candidates(rng, r, w, h, 2500);
            const std::vector<bool> want = scan_keeps(pts, s);
            const std::vector<bool> got = grid_keeps(pts, s, w, h);
            ASSERT_EQ(got, want) << "r = " << r << ", round " << round;
            for (bool b : want) (b ? kept : rejected)++;
        }
    }
    EXPECT_GT(kept, 10000);
    EXPECT_GT(rejected, 10000);
}

TEST(SpacingGrid, UnusualSpacingsFallBackToTheScan) {
    std::mt19937 rng(8);
    for (float s : {0.0f, -1.0f, 1e-30f, 1e35f, kInf, kNaN}) {
        const Loop pts = candidates(rng, 3.0f, 50, 50, 400);
        EXPECT_EQ(grid_keeps(pts, s, 50, 50), scan_keeps(pts, s)) << "s = " << s;
    }
}
