// The sprite mesher's core without Python: pixel-edge rings, the rectangle
// of an opaque image, area conservation, threads and stopping.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "sprite_mesh/rings.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace sm = vellumcut::sprite;

namespace {

double mesh_area(const sm::PartMesh& p) {
    double a = 0;
    for (std::size_t t = 0; t < p.idx.size(); t += 3) {
        const double* u = &p.v[2 * p.idx[t]];
        const double* v = &p.v[2 * p.idx[t + 1]];
        const double* w = &p.v[2 * p.idx[t + 2]];
        a += std::abs((v[0] - u[0]) * (w[1] - u[1]) - (w[0] - u[0]) * (v[1] - u[1])) / 2;
    }
    return a;
}

cv::Mat blob() {
    cv::Mat m = cv::Mat::zeros(64, 80, CV_8UC1);
    cv::ellipse(m, {40, 32}, {30, 20}, 15, 0, 360, 1, cv::FILLED);
    cv::circle(m, {40, 32}, 8, 0, cv::FILLED);
    m.at<std::uint8_t>(2, 2) = 1;  // a lone pixel
    return m;
}

}  // namespace

TEST(SpriteRings, CornerContactsAreBridgedIntoSimpleRings) {
    cv::Mat padded = cv::Mat::zeros(6, 6, CV_8UC1);
    padded.at<std::uint8_t>(2, 2) = padded.at<std::uint8_t>(3, 3) = 1;  // touch at one corner
    const auto rings = sm::trace_rings(padded, 4, vellumcut::no_stop());
    ASSERT_EQ(rings.size(), 1u);  // one island, one ring
    const sm::IRing& r = rings[0].pts;
    EXPECT_TRUE(rings[0].bridged);
    std::set<std::pair<std::int64_t, std::int64_t>> seen;
    for (const sm::P& p : r) EXPECT_TRUE(seen.insert({p.x, p.y}).second) << "repeated corner";
    // Two unit squares plus two bridge triangles of 4 x 4 units / 2 each.
    EXPECT_EQ(-sm::area2(r), 2 * (2 * sm::kUnit * sm::kUnit + 16));
}

// Islands and gaps found from the rings alone match a labelling of the
// image: 8-connected islands, 4-connected gaps, the same pixel counts and
// the same nesting, on noise dense enough to nest islands in holes in
// islands and to pinch at corners.
class SpriteRingNesting : public ::testing::TestWithParam<std::pair<unsigned, double>> {};

TEST_P(SpriteRingNesting, IslandsAndGapsMatchALabelling) {
    const auto [seed, density] = GetParam();
    cv::RNG rng(seed);
    cv::Mat padded = cv::Mat::zeros(42, 57, CV_8UC1);
    for (int y = 1; y < padded.rows - 1; ++y) {
        for (int x = 1; x < padded.cols - 1; ++x) padded.at<std::uint8_t>(y, x) = rng.uniform(0.0, 1.0) < density;
    }
    cv::Mat labels, stats, gaps, gap_stats, centroids;
    const int n_islands = cv::connectedComponentsWithStats(padded, labels, stats, centroids, 8, CV_32S);
    const cv::Mat clear = padded == 0;
    const int n_gaps = cv::connectedComponentsWithStats(clear, gaps, gap_stats, centroids, 4, CV_32S);
    const int background = gaps.at<int>(0, 0);
    const auto rings = sm::trace_rings(padded, 4, vellumcut::no_stop());
    // The pixel whose top-left corner starts a ring (its top row's first).
    const auto first = [](const sm::TracedRing& r) {
        return cv::Point(static_cast<int>(r.pts[0].x / sm::kUnit), static_cast<int>(r.pts[0].y / sm::kUnit));
    };
    std::multiset<long long> want_islands, got_islands, want_gaps, got_gaps;
    for (int i = 1; i < n_islands; ++i) want_islands.insert(stats.at<int>(i, cv::CC_STAT_AREA));
    for (int i = 1; i < n_gaps; ++i) {  // label 0: the opaque pixels
        if (i != background) want_gaps.insert(gap_stats.at<int>(i, cv::CC_STAT_AREA));
    }
    std::vector<long long> pixels(rings.size());
    for (std::size_t i = 0; i < rings.size(); ++i) pixels[i] = rings[i].area;
    for (std::size_t i = 0; i < rings.size(); ++i) {
        const sm::TracedRing& r = rings[i];
        const cv::Point p = first(r);
        if (r.hole) {
            ASSERT_EQ(r.gap, static_cast<int>(i));
            ASSERT_FALSE(rings[r.island].hole);
            pixels[r.island] -= r.area;
            // The hole's first pixel and the opaque pixel above it.
            EXPECT_EQ(labels.at<int>(first(rings[r.island])), labels.at<int>(p.y - 1, p.x)) << "ring " << i;
        } else {
            ASSERT_EQ(r.island, static_cast<int>(i));
            if (r.gap >= 0) pixels[r.gap] -= r.area;
            const int gap_left = gaps.at<int>(p.y, p.x - 1);
            if (r.gap < 0) {
                EXPECT_EQ(gap_left, background) << "ring " << i;
            } else {
                ASSERT_TRUE(rings[r.gap].hole);
                EXPECT_EQ(gap_left, gaps.at<int>(first(rings[r.gap]))) << "ring " << i;
            }
        }
    }
    for (std::size_t i = 0; i < rings.size(); ++i) (rings[i].hole ? got_gaps : got_islands).insert(pixels[i]);
    EXPECT_EQ(got_islands, want_islands);
    EXPECT_EQ(got_gaps, want_gaps);
}

INSTANTIATE_TEST_SUITE_P(Noise, SpriteRingNesting,
                         ::testing::Values(std::make_pair(1u, 0.3), std::make_pair(2u, 0.5), std::make_pair(3u, 0.6),
                                           std::make_pair(4u, 0.75), std::make_pair(5u, 0.9)));

TEST(SpriteMesher, OpaqueImageIsItsRectangle) {
    cv::Mat m(30, 50, CV_8UC1, cv::Scalar(1));
    sm::Options o;
    o.margin = 3;
    const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
    ASSERT_EQ(r.parts.size(), 1u);
    EXPECT_EQ(r.parts[0].v.size(), 8u);
    EXPECT_EQ(r.parts[0].idx.size(), 6u);
    EXPECT_DOUBLE_EQ(mesh_area(r.parts[0]), 1500.0);
    EXPECT_EQ(r.w, 56);
    EXPECT_EQ(r.h, 36);
}

TEST(SpriteMesher, TriangleAreaSumsToTheRingsAndCoversThePixels) {
    const cv::Mat m = blob();
    const double opaque = cv::countNonZero(m);
    for (auto interior : {sm::Interior::none, sm::Interior::poisson, sm::Interior::quality}) {
        sm::Options o;
        o.interior = interior;
        o.seeded = true;
        o.min_hole_area = 0;
        const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
        ASSERT_EQ(r.parts.size(), 2u);
        double area = 0;
        for (const auto& p : r.parts) {
            double rings = 0;
            for (const auto& ring : p.rings) {
                for (std::size_t i = 0; i < ring.size(); ++i) {
                    const double* a = &p.v[2 * ring[i]];
                    const double* b = &p.v[2 * ring[(i + 1) % ring.size()]];
                    rings -= (a[0] * b[1] - b[0] * a[1]) / 2;
                }
            }
            EXPECT_NEAR(mesh_area(p), rings, 1e-6);
            area += rings;
        }
        EXPECT_GE(area, opaque);          // outward only
        EXPECT_LE(area, opaque * 1.15);   // and not by much
    }
}

TEST(SpriteMesher, ThreadsMatchSerialRuns) {
    const cv::Mat m = blob();
    sm::Options o;
    o.interior = sm::Interior::quality;
    o.spacing = 4;
    const sm::Result serial = sm::mesh_opaque(m, o, vellumcut::no_stop());
    sm::Result a, b;
    std::thread t1([&] { a = sm::mesh_opaque(m, o, vellumcut::no_stop()); });
    std::thread t2([&] { b = sm::mesh_opaque(m, o, vellumcut::no_stop()); });
    t1.join();
    t2.join();
    for (const sm::Result* r : {&a, &b}) {
        ASSERT_EQ(r->parts.size(), serial.parts.size());
        for (std::size_t i = 0; i < serial.parts.size(); ++i) {
            EXPECT_EQ(r->parts[i].v, serial.parts[i].v);
            EXPECT_EQ(r->parts[i].idx, serial.parts[i].idx);
        }
    }
}

TEST(SpriteMesher, StopRequestedEndsTheCall) {
    vellumcut::Stop stop;
    stop.request();
    EXPECT_THROW(sm::mesh_opaque(blob(), sm::Options(), stop), vellumcut::Interrupted);
}

TEST(SpriteMesher, OptionsOutOfRangeNameTheOption) {
    const std::pair<void (*)(sm::Options&), const char*> cases[] = {
        {[](sm::Options& o) { o.tolerance = -1; }, "tolerance"},
        {[](sm::Options& o) { o.max_vertices = 2; }, "max_vertices"},
        {[](sm::Options& o) { o.min_angle = 40; }, "min_angle"},
        {[](sm::Options& o) { o.alpha_threshold = 255; }, "alpha_threshold"},
    };
    for (const auto& c : cases) {
        sm::Options o;
        c.first(o);
        try {
            sm::validate(o);
            ADD_FAILURE() << c.second << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
        }
    }
}

// The outline's corner count never rises with the tolerance, padded or
// not, on noise (many islands, holes, corner contacts) and on a smooth
// blob; a budget holds over the whole sprite and its overdraw never falls
// as the budget shrinks.
class SpriteDetail : public ::testing::TestWithParam<std::pair<unsigned, double>> {};

TEST_P(SpriteDetail, CornersNeverRiseWithTheTolerance) {
    const auto [seed, padding] = GetParam();
    cv::Mat m = blob();
    if (seed != 0) {
        cv::RNG rng(seed);
        m = cv::Mat::zeros(48, 48, CV_8UC1);
        rng.fill(m, cv::RNG::UNIFORM, 0, 3);
        m = m > 1;
    }
    std::size_t last = SIZE_MAX;
    for (const double t : {0.0, 0.2, 0.25, 0.5, 0.8, 1.0, 1.3, 2.0, 3.5, 6.0, 10.0, 20.0}) {
        sm::Options o;
        o.tolerance = t;
        o.padding = padding;
        const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
        std::size_t corners = 0;
        for (const auto& p : r.parts) {
            for (const auto& ring : p.rings) corners += ring.size();
        }
        EXPECT_LE(corners, last) << "tolerance " << t;
        last = corners;
    }
}

INSTANTIATE_TEST_SUITE_P(NoiseAndBlob, SpriteDetail,
                         ::testing::Values(std::pair<unsigned, double>{0, 0.0}, std::pair<unsigned, double>{0, 1.5},
                                           std::pair<unsigned, double>{7, 0.0}, std::pair<unsigned, double>{9, 0.5}));

TEST(SpriteMesher, BudgetHoldsForTheWholeSpriteAndIsRefusedBelowThreePerIsland) {
    const cv::Mat m = blob();  // two islands: the ring round the hole and the lone pixel
    double previous = -1;
    for (const long long budget : {60LL, 30LL, 16LL, 8LL, 6LL}) {
        sm::Options o;
        o.max_vertices = budget;
        const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
        std::size_t corners = 0;
        for (const auto& p : r.parts) {
            for (const auto& ring : p.rings) corners += ring.size();
        }
        EXPECT_LE(corners, static_cast<std::size_t>(budget));
        if (r.budget_applied) {
            EXPECT_GE(r.overdraw, previous) << "budget " << budget;
            previous = r.overdraw;
        }
    }
    sm::Options o;
    o.max_vertices = 5;
    try {
        sm::mesh_opaque(m, o, vellumcut::no_stop());
        FAIL() << "a budget of 5 for two islands was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "max_vertices is 5, but this sprite needs at least 6 outline vertices (3 for each of its 2 islands)");
    }
}
