#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "outline.hpp"

using vellumcut::clean_loop;
using vellumcut::Loop;
using vellumcut::signed_area;

namespace {

void expect_points(const Loop& got, const Loop& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].x, want[i].x) << "point " << i;
        EXPECT_EQ(got[i].y, want[i].y) << "point " << i;
    }
}

}  // namespace

TEST(CleanLoop, DropsRepeatedFirstAndClosingPoint) {
    expect_points(clean_loop({{0, 0}, {0, 0}, {5, 0}, {5, 5}, {0, 0.0000001f}}),
                  {{0, 0}, {5, 0}, {5, 5}});
}

TEST(CleanLoop, TwoPointsBecomeGrownRectangle) {
    expect_points(clean_loop({{2, 3}, {6, 3}}), {{1, 2}, {7, 2}, {7, 4}, {1, 4}});
}

TEST(CleanLoop, SinglePointBecomesRectangle) {
    expect_points(clean_loop({{4, 4}}), {{3, 3}, {5, 3}, {5, 5}, {3, 5}});
}

TEST(CleanLoop, RunCollapsesOntoPointBeforeIt) {
    // Each point is within 1e-6 of the kept point (0,0) only while the run stays
    // close to it; the comparison is against the last *kept* point.
    expect_points(clean_loop({{0, 0}, {4e-7f, 0}, {8e-7f, 0}, {1.6e-6f, 0}, {3, 3}, {0, 3}}),
                  {{0, 0}, {1.6e-6f, 0}, {3, 3}, {0, 3}});
}

TEST(CleanLoop, KeepsPointsExactlyAtTolerance) {
    // 1e-6 apart (as float differences widened to double) is not a duplicate.
    const float d = std::nextafter(1e-6f, 1.0f);
    ASSERT_GE(static_cast<double>(d), 1e-6);
    expect_points(clean_loop({{0, 0}, {d, 0}, {5, 5}}), {{0, 0}, {d, 0}, {5, 5}});
}

TEST(CleanLoop, EmptyLoopIsRefused) { EXPECT_THROW(clean_loop({}), std::invalid_argument); }

TEST(SignedArea, Examples) {
    EXPECT_EQ(signed_area({{0, 0}, {10, 0}, {10, 10}}), 50.0);
    EXPECT_EQ(signed_area({{0, 0}, {10, 10}, {10, 0}}), -50.0);
    EXPECT_EQ(signed_area({}), 0.0);
    EXPECT_EQ(signed_area({{3, 4}}), 0.0);
    EXPECT_EQ(signed_area({{0, 0}, {1, 1}, {2, 2}}), 0.0);
}

TEST(SignedArea, TermsAreSinglePrecision) {
    // 4097 * 4097 = 16785409 needs 25 bits; as a float it rounds to 16785408,
    // so the single-precision terms give 8392704 where exact arithmetic would
    // give 8392704.5.
    EXPECT_EQ(signed_area({{4097, 0}, {4097, 4097}, {0, 4097}}), 8392704.0);
}
