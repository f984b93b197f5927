#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/spacing_grid.hpp"

using vellumcut::detail::choose_region;
using vellumcut::Loop;
using Contour = std::vector<cv::Point>;

namespace {

Contour square(int x, int y, int side) {
    return {{x, y}, {x, y + side}, {x + side, y + side}, {x + side, y}};
}

// The spacing step of the Poisson filter on its own: each point kept unless
// the grid finds an earlier kept point closer than r.
Loop spaced_subset(const Loop& points, int width, int height, float r) {
    vellumcut::SpacingGrid grid = vellumcut::make_spacing_grid(r * r, width, height);
    Loop kept;
    for (const cv::Point2f& p : points) {
        if (!vellumcut::spacing_ok(grid, p)) continue;
        vellumcut::spacing_add(grid, p);
        kept.push_back(p);
    }
    return kept;
}

// The literal rule: compare with every point kept so far, in float.
Loop spaced_by_scan(const Loop& points, float r) {
    const float s = r * r;
    Loop kept;
    for (const cv::Point2f& p : points) {
        bool far = true;
        for (const cv::Point2f& q : kept) {
            const float dx = p.x - q.x;
            const float dy = p.y - q.y;
            if (dx * dx + dy * dy < s) far = false;
        }
        if (far) kept.push_back(p);
    }
    return kept;
}

}  // namespace

TEST(ChooseRegion, LargestAreaWinsAndTiesKeepTheEarliest) {
    // Two 10 x 10 outer squares and a 12 x 12 one; hierarchy: siblings, no holes.
    const std::vector<Contour> contours{square(0, 0, 10), square(20, 0, 12), square(40, 0, 12)};
    const std::vector<cv::Vec4i> hierarchy{{1, -1, -1, -1}, {2, 0, -1, -1}, {-1, 1, -1, -1}};
    const auto choice = choose_region(contours, hierarchy);
    EXPECT_EQ(choice.outer, 1);
    EXPECT_TRUE(choice.holes.empty());
}

TEST(ChooseRegion, AllZeroAreasChooseTheFirstContour) {
    const std::vector<Contour> contours{{{3, 3}}, {{5, 5}, {6, 5}}};
    const std::vector<cv::Vec4i> hierarchy{{1, -1, -1, -1}, {-1, 0, -1, -1}};
    EXPECT_EQ(choose_region(contours, hierarchy).outer, 0);
}

TEST(ChooseRegion, KeepsOnlyChildrenAboveOneSquarePixel) {
    // Outer square with four children linked as siblings: areas 1.0 (a unit
    // square), 2.0 (a diamond), 0.5 (a triangle), 1.5 (a trapezoid).
    const std::vector<Contour> contours{
        square(0, 0, 20),
        square(2, 2, 1),
        {{6, 5}, {5, 6}, {6, 7}, {7, 6}},
        {{10, 10}, {10, 11}, {11, 10}},
        {{14, 14}, {14, 15}, {16, 15}, {15, 14}},
        square(30, 0, 3),  // another island, not a child
    };
    const std::vector<cv::Vec4i> hierarchy{
        {5, -1, 1, -1}, {2, -1, -1, 0}, {3, 1, -1, 0}, {4, 2, -1, 0}, {-1, 3, -1, 0}, {-1, 0, -1, -1},
    };
    const auto choice = choose_region(contours, hierarchy);
    EXPECT_EQ(choice.outer, 0);
    EXPECT_EQ(choice.holes, (std::vector<int>{2, 4}));
}

TEST(SpacedSubset, MatchesTheScanOverAllKeptPoints) {
    std::mt19937 e(5);
    std::uniform_real_distribution<float> coord(0.0f, 60.0f);
    for (float r : {1.0f, 3.0f, 7.0f}) {
        Loop pts;
        for (int i = 0; i < 3000; ++i) pts.emplace_back(coord(e), coord(e));
        // Pairs at exactly r and just below r along an axis and a diagonal.
        pts.emplace_back(10.0f, 10.0f);
        pts.emplace_back(10.0f + r, 10.0f);
        pts.emplace_back(30.0f, 30.0f);
        pts.emplace_back(std::nextafter(30.0f + r, 0.0f), 30.0f);
        pts.emplace_back(50.0f + 0.6f * r, 50.0f + 0.8f * r);
        std::shuffle(pts.begin(), pts.end(), e);
        const Loop want = spaced_by_scan(pts, r);
        const Loop got = spaced_subset(pts, 60, 60, r);
        ASSERT_EQ(got.size(), want.size()) << "r = " << r;
        for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << i;
    }
}

TEST(SpacedSubset, KeepsPointsExactlyRApartAndDropsCloserOnes) {
    const Loop pts{{5, 5}, {9, 5}, {5, 8.99f}, {5, 9}, {12, 5}};
    // r = 4: (9,5) is exactly 4 from (5,5); (5,8.99) is closer; (12,5) is 3 from (9,5).
    EXPECT_EQ(spaced_subset(pts, 20, 20, 4.0f), (Loop{{5, 5}, {9, 5}, {5, 9}}));
}
