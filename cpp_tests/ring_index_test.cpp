// The row index must answer exactly as cv::pointPolygonTest does, on every
// kind of ring the meshers hand it and on awkward query points.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/ring_index.hpp"

using vellumcut::build_ring_index;
using vellumcut::Loop;
using vellumcut::ring_test;
using vellumcut::RingIndex;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Tally {
    long queries = 0;
    long inside = 0;
    long outside = 0;
    long on_ring = 0;
};

// Compares index and OpenCV on one query; returns false (after recording a
// failure) on the first mismatch so a broken index does not flood the log.
bool agree(const Loop& ring, const RingIndex& index, cv::Point2f q, Tally& tally) {
    const double want = cv::pointPolygonTest(ring, q, false);
    const int got = ring_test(index, q);
    ++tally.queries;
    tally.inside += want > 0;
    tally.outside += want < 0;
    tally.on_ring += want == 0;
    if (static_cast<double>(got) != want) {
        ADD_FAILURE() << "query (" << q.x << ", " << q.y << ") on a ring of " << ring.size()
                      << " points: index " << got << ", OpenCV " << want;
        return false;
    }
    return true;
}

// Query points that sit on, next to and between the ring's features.
bool check_ring(const Loop& ring, std::mt19937& rng, Tally& tally, int random_queries = 40) {
    const RingIndex index = build_ring_index(ring);
    float x0 = 0, x1 = 1, y0 = 0, y1 = 1;
    if (!ring.empty()) {
        x0 = x1 = ring[0].x;
        y0 = y1 = ring[0].y;
        for (const cv::Point2f& p : ring) {
            if (std::isfinite(p.x) && std::isfinite(p.y)) {
                x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
                y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
            }
        }
    }
    std::vector<cv::Point2f> qs;
    const std::size_t n = ring.size();
    std::uniform_int_distribution<std::size_t> pick(0, n ? n - 1 : 0);
    const std::size_t probes = std::min<std::size_t>(n, 24);
    for (std::size_t j = 0; j < probes; ++j) {
        const std::size_t i = n <= 24 ? j : pick(rng);
        const cv::Point2f a = ring[i];
        const cv::Point2f b = ring[(i + 1) % n];
        qs.push_back(a);
        for (float t : {0.25f, 0.5f, 0.75f}) {
            qs.push_back({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t});
        }
        for (float d : {-0.5f, 0.5f}) {
            qs.push_back({a.x + d, a.y});
            qs.push_back({a.x, a.y + d});
            qs.push_back({a.x + d, a.y + d});
        }
        qs.push_back({std::nextafter(a.x, kInf), a.y});
        qs.push_back({a.x, std::nextafter(a.y, -kInf)});
        qs.push_back({a.x, kNaN});
        qs.push_back({kNaN, a.y});
        qs.push_back({-kInf, a.y});
        qs.push_back({kInf, a.y});
        qs.push_back({a.x, kInf});
    }
    for (cv::Point2f q : {cv::Point2f(kNaN, kNaN), cv::Point2f(kInf, -kInf),
                          cv::Point2f(-kInf, kInf), cv::Point2f(kNaN, kInf)}) {
        qs.push_back(q);
    }
    const float mx = (x1 - x0) * 0.1f + 1, my = (y1 - y0) * 0.1f + 1;
    std::uniform_real_distribution<float> ux(x0 - mx, x1 + mx), uy(y0 - my, y1 + my);
    auto lattice = [](float lo, float hi) {
        const float cap = 1e6f;  // whole-number probes only where they are representable
        const int a = static_cast<int>(std::min(std::max(lo, -cap), cap));
        const int b = static_cast<int>(std::min(std::max(hi, -cap), cap));
        return std::uniform_int_distribution<int>(a - 1, b + 1);
    };
    auto ix = lattice(x0, x1);
    auto iy = lattice(y0, y1);
    for (int j = 0; j < random_queries; ++j) {
        qs.push_back({ux(rng), uy(rng)});
        const float gx = static_cast<float>(ix(rng)), gy = static_cast<float>(iy(rng));
        qs.push_back({gx, gy});
        qs.push_back({gx + 0.5f, gy});
        qs.push_back({gx, gy + 0.5f});
        qs.push_back({gx + 0.5f, gy + 0.5f});
    }
    for (const cv::Point2f& q : qs) {
        if (!agree(ring, index, q, tally)) {
            return false;
        }
    }
    return true;
}

// Traced outlines (outer boundaries and holes) of a random blobby mask: every
// boundary pixel a point, repeated points at one-pixel necks and spurs.
std::vector<Loop> traced_outlines(std::mt19937& rng, int size) {
    cv::Mat mask = cv::Mat::zeros(size, size, CV_8UC1);
    std::uniform_int_distribution<int> coord(0, size - 1), radius(1, std::max(2, size / 4));
    std::uniform_int_distribution<int> shape(0, 3);
    for (int k = 0; k < 6; ++k) {
        const cv::Point c(coord(rng), coord(rng));
        const int r = radius(rng);
        const cv::Scalar colour(k % 3 == 2 ? 0 : 255);
        switch (shape(rng)) {
        case 0: cv::circle(mask, c, r, colour, cv::FILLED); break;
        case 1: cv::rectangle(mask, c, c + cv::Point(r, r / 2 + 1), colour, cv::FILLED); break;
        case 2: cv::line(mask, c, cv::Point(coord(rng), coord(rng)), colour, 1); break;
        default: cv::ellipse(mask, c, cv::Size(r, r / 3 + 1), 30.0, 0, 360, colour, 1); break;
        }
    }
    std::bernoulli_distribution speck(0.02);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (speck(rng)) {
                mask.at<unsigned char>(y, x) ^= 255;
            }
        }
    }
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    std::vector<Loop> loops;
    for (const auto& c : contours) {
        loops.emplace_back(c.begin(), c.end());
    }
    return loops;
}

}  // namespace

TEST(RingIndex, MatchesOpenCvOnTracedPixelOutlines) {
    std::mt19937 rng(20240611);
    Tally tally;
    for (int image = 0; image < 160; ++image) {
        for (const Loop& ring : traced_outlines(rng, 16 + image % 5 * 24)) {
            ASSERT_TRUE(check_ring(ring, rng, tally, 6));
        }
    }
    EXPECT_GT(tally.queries, 400000);
    EXPECT_GT(tally.inside, 10000);
    EXPECT_GT(tally.on_ring, 10000);
    EXPECT_GT(tally.outside, 10000);
}

TEST(RingIndex, MatchesOpenCvOnSmallIntegerRings) {
    // Coordinates on a 6 x 6 lattice: repeated points, collinear runs,
    // horizontal and vertical edges, self-touching and self-crossing rings.
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> coord(0, 5), count(1, 14);
    Tally tally;
    for (int k = 0; k < 6000; ++k) {
        Loop ring;
        const int n = count(rng);
        for (int i = 0; i < n; ++i) {
            ring.push_back({static_cast<float>(coord(rng)), static_cast<float>(coord(rng))});
        }
        ASSERT_TRUE(check_ring(ring, rng, tally, 8));
    }
    EXPECT_GT(tally.queries, 300000);
    EXPECT_GT(tally.on_ring, 10000);
    EXPECT_GT(tally.inside, 10000);
}

TEST(RingIndex, MatchesOpenCvOnFloatRings) {
    // Arbitrary float coordinates, a few with a huge y-span (coarse rows) and a
    // few tiny ones (many edges in one row).
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> count(3, 40);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Tally tally;
    for (int k = 0; k < 3000; ++k) {
        const float extent = k % 10 == 0 ? 1e7f : k % 10 == 1 ? 1e-3f : 300.0f;
        Loop ring;
        const int n = count(rng);
        for (int i = 0; i < n; ++i) {
            ring.push_back({unit(rng) * extent - extent / 3, unit(rng) * extent - extent / 2});
        }
        ASSERT_TRUE(check_ring(ring, rng, tally, 10));
    }
    EXPECT_GT(tally.queries, 200000);
}

TEST(RingIndex, MatchesOpenCvOnCollinearRunsAndRepeats) {
    // Subdivided rectangles and triangles with doubled points, and rings whose
    // points all lie on one line (zero area, everything is on the ring or out).
    std::mt19937 rng(3);
    Tally tally;
    for (int w = 1; w <= 30; ++w) {
        for (int h = 0; h <= 12; ++h) {
            Loop ring;
            for (int x = 0; x <= w; ++x) ring.push_back({float(x), 0.0f});
            for (int y = 1; y <= h; ++y) ring.push_back({float(w), float(y)});
            ring.push_back(ring.back());
            for (int x = w - 1; x >= 0 && h > 0; --x) ring.push_back({float(x), float(h)});
            for (int y = h - 1; y > 0; --y) ring.push_back({0.0f, float(y)});
            ASSERT_TRUE(check_ring(ring, rng, tally, 20));
            Loop diagonal;
            for (int i = 0; i <= w; ++i) diagonal.push_back({static_cast<float>(i) * 0.5f, static_cast<float>(i)});
            for (int i = 0; i <= h; ++i) diagonal.push_back({float(w + i), float(w)});
            ASSERT_TRUE(check_ring(diagonal, rng, tally, 20));
        }
    }
    EXPECT_GT(tally.on_ring, 20000);
}

TEST(RingIndex, DegenerateAndNonFiniteRings) {
    std::mt19937 rng(5);
    Tally tally;
    const std::vector<Loop> rings = {
        {{2, 3}},
        {{2, 3}, {2, 3}},
        {{0, 0}, {4, 0}},
        {{0, 0}, {4, 4}, {kNaN, 2}},
        {{0, 0}, {4, 0}, {4, kInf}, {0, 4}},
        {{0, 0}, {4e20f, 0}, {4e20f, 1e18f}, {0, 1e18f}},
    };
    for (const Loop& ring : rings) {
        ASSERT_TRUE(check_ring(ring, rng, tally, 50));
    }
    // OpenCV refuses an empty ring outright; the index calls everything outside.
    EXPECT_EQ(ring_test(build_ring_index(Loop{}), {0, 0}), -1);
}

TEST(RingIndex, SeveralRingsAnswerLikeTestingEachInOrder) {
    // The holes of a traced mask (some touching, nested or sharing rows), plus
    // overlapping small rings: the first ring that does not call the point
    // outside must be the one found by walking the rings in order.
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> coord(0, 7);
    long queries = 0, hits = 0;
    for (int image = 0; image < 150; ++image) {
        std::vector<Loop> rings = traced_outlines(rng, 24 + image % 4 * 16);
        for (int extra = 0; extra < 3; ++extra) {
            Loop ring;
            for (int i = 0; i < 5; ++i) {
                ring.push_back({static_cast<float>(coord(rng)), static_cast<float>(coord(rng))});
            }
            rings.insert(rings.begin() + static_cast<long>(rng() % (rings.size() + 1)), ring);
        }
        const RingIndex index = build_ring_index(rings);
        std::uniform_real_distribution<float> u(-1.0f, 64.0f);
        std::uniform_int_distribution<int> lattice(-1, 64);
        std::vector<cv::Point2f> qs;
        for (const Loop& ring : rings) {
            for (std::size_t i = 0; i < ring.size(); i += 3) {
                qs.push_back(ring[i]);
                qs.push_back({ring[i].x + 0.5f, ring[i].y});
                qs.push_back({ring[i].x, ring[i].y - 0.5f});
            }
        }
        for (int j = 0; j < 600; ++j) {
            qs.push_back({u(rng), u(rng)});
            qs.push_back({static_cast<float>(lattice(rng)), static_cast<float>(lattice(rng))});
        }
        qs.push_back({kNaN, 3.0f});
        qs.push_back({3.0f, kNaN});
        qs.push_back({-kInf, 5.0f});
        for (const cv::Point2f& q : qs) {
            int want = -1;
            for (std::size_t r = 0; r < rings.size(); ++r) {
                if (cv::pointPolygonTest(rings[r], q, false) >= 0) {
                    want = static_cast<int>(r);
                    break;
                }
            }
            ++queries;
            hits += want >= 0;
            ASSERT_EQ(vellumcut::first_ring_not_outside(index, q), want)
                << "query (" << q.x << ", " << q.y << ") over " << rings.size() << " rings";
        }
    }
    EXPECT_GT(queries, 200000);
    EXPECT_GT(hits, 20000);
}
