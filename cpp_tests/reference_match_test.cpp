// Every fast path gives exactly what its literal reference gives, over many
// generated inputs with fixed seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "constrained_mesh/detail/mesher_steps.hpp"
#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/pipeline.hpp"
#include "constrained_mesh/sampler.hpp"
#include "detail/earcut_steps.hpp"
#include "earcut_mesh.hpp"
#include "mask/loader.hpp"
#include "reference.hpp"

namespace {

// Random 8-bit masks: sparse specks (first and last pixel in any relative
// position), filled shapes, full and one-pixel masks.
cv::Mat random_mask(std::mt19937& rng) {
    std::uniform_int_distribution<int> dim(1, 70), kind(0, 3);
    const int rows = dim(rng), cols = dim(rng);
    cv::Mat mask = cv::Mat::zeros(rows, cols, CV_8UC1);
    std::uniform_int_distribution<int> ry(0, rows - 1), rx(0, cols - 1);
    switch (kind(rng)) {
    case 0:
        for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k) {
            mask.at<unsigned char>(ry(rng), rx(rng)) = 255;
        }
        break;
    case 1:
        cv::circle(mask, {rx(rng), ry(rng)}, 1 + static_cast<int>(rng() % 30), cv::Scalar(255),
                   cv::FILLED);
        break;
    case 2:
        mask.setTo(cv::Scalar(255));
        break;
    default:
        cv::line(mask, {rx(rng), ry(rng)}, {rx(rng), ry(rng)}, cv::Scalar(255));
        break;
    }
    if (cv::countNonZero(mask) == 0) {
        mask.at<unsigned char>(ry(rng), rx(rng)) = 255;
    }
    return mask;
}

}  // namespace

TEST(ReferenceMatch, AreaFloorByRowScansEqualsFindNonZero) {
    std::mt19937 rng(2024);
    int negative = 0;
    for (int k = 0; k < 20000; ++k) {
        const cv::Mat mask = random_mask(rng);
        const double want = vellumcut::reference::area_floor(mask);
        ASSERT_EQ(vellumcut::detail::area_floor(mask), want) << "mask " << k;
        negative += want <= 0.0;
    }
    EXPECT_GT(negative, 100);  // last opaque pixel left of the first one
    // Submatrices (row stride wider than the row) are scanned correctly too.
    const cv::Mat big = random_mask(rng);
    cv::Mat wide = cv::Mat::zeros(big.rows, big.cols + 9, CV_8UC1);
    big.copyTo(wide(cv::Rect(0, 0, big.cols, big.rows)));
    const cv::Mat view = wide(cv::Rect(0, 0, big.cols, big.rows));
    EXPECT_EQ(vellumcut::detail::area_floor(view), vellumcut::reference::area_floor(view));
}

TEST(ReferenceMatch, AreaFloorRefusesEmptyMask) {
    const cv::Mat empty = cv::Mat::zeros(5, 5, CV_8UC1);
    EXPECT_THROW(vellumcut::detail::area_floor(empty), std::runtime_error);
    EXPECT_THROW(vellumcut::reference::area_floor(empty), std::runtime_error);
}

namespace {

// The largest traced outline of a random blobby mask with its direct holes,
// every boundary pixel a point (one-pixel necks give repeated points).
bool traced_region(std::mt19937& rng, int size, vellumcut::Loop& outer,
                   std::vector<vellumcut::Loop>& holes) {
    cv::Mat mask = cv::Mat::zeros(size, size, CV_8UC1);
    std::uniform_int_distribution<int> coord(2, size - 3), radius(2, size / 3);
    cv::circle(mask, {size / 2, size / 2}, size / 3, cv::Scalar(255), cv::FILLED);
    for (int k = 0; k < 7; ++k) {
        const cv::Scalar colour(k % 2 ? 0 : 255);
        if (rng() % 3 == 0) {
            cv::line(mask, {coord(rng), coord(rng)}, {coord(rng), coord(rng)}, colour, 1);
        } else {
            cv::circle(mask, {coord(rng), coord(rng)}, radius(rng) / 2, colour, cv::FILLED);
        }
    }
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    if (contours.empty()) return false;
    std::size_t best = 0;
    for (std::size_t i = 1; i < contours.size(); ++i) {
        if (cv::contourArea(contours[i]) > cv::contourArea(contours[best])) best = i;
    }
    outer.assign(contours[best].begin(), contours[best].end());
    holes.clear();
    for (int c = hierarchy[best][2]; c >= 0; c = hierarchy[c][0]) {
        holes.emplace_back(contours[c].begin(), contours[c].end());
    }
    return true;
}

}  // namespace

TEST(ReferenceMatch, CentroidFilterThroughIndexEqualsWholeRingWalks) {
    std::mt19937 rng(77);
    long triangles = 0, kept = 0, cases = 0;
    for (int k = 0; k < 120; ++k) {
        vellumcut::Loop outer, extra;
        std::vector<vellumcut::Loop> holes;
        const int size = 24 + k % 6 * 12;
        if (!traced_region(rng, size, outer, holes)) continue;
        // Free points: a jittered lattice (some on ring points, some outside),
        // and a few points repeated from the rings.
        std::uniform_real_distribution<float> jitter(-0.5f, 0.5f);
        const float step = 2.0f + static_cast<float>(k % 4);
        const float fsize = static_cast<float>(size);
        for (float y = 0; y < fsize; y += step) {
            for (float x = 0; x < fsize; x += step) {
                extra.push_back(k % 2 ? cv::Point2f(x, y) : cv::Point2f(x + jitter(rng), y + jitter(rng)));
            }
        }
        extra.push_back(outer[outer.size() / 2]);
        vellumcut::Mesh fast, literal;
        try {
            literal = vellumcut::reference::tri_mesh_debug(outer, holes, extra);
        } catch (const std::runtime_error&) {
            // A degenerate outer ring must be refused by both.
            EXPECT_THROW(vellumcut::tri_mesh_debug(outer, holes, extra), std::runtime_error);
            continue;
        }
        fast = vellumcut::tri_mesh_debug(outer, holes, extra);
        ASSERT_EQ(fast.v, literal.v) << "case " << k;
        ASSERT_EQ(fast.idx, literal.idx) << "case " << k;
        ++cases;
        kept += static_cast<long>(literal.idx.size() / 3);
        std::vector<vellumcut::Loop> kept_holes;
        triangles += static_cast<long>(
            vellumcut::detail::triangulate_all(outer, holes, extra, kept_holes).idx.size() / 3);
    }
    EXPECT_GT(cases, 100);
    // The filter must have had real work: many triangles dropped, many kept.
    EXPECT_GT(kept, 10000);
    EXPECT_GT(triangles - kept, 5000);
}

TEST(ReferenceMatch, FusedMaskLoadingEqualsOpenCvChain) {
    // 8-bit BGRA images of random sizes and alpha, 16-bit ones (general path),
    // written as PNG and loaded both ways with several margins.
    std::mt19937 rng(11);
    const std::string dir = ::testing::TempDir();
    for (int k = 0; k < 40; ++k) {
        // Widths around and well past 16, 32 and 48 pixels (the one-pass
        // loader thresholds 16 pixels at a time).
        const int rows = 1 + static_cast<int>(rng() % 40), cols = 1 + static_cast<int>(rng() % 70);
        const int depth = k % 8 == 7 ? CV_16U : CV_8U;
        cv::Mat image(rows, cols, CV_MAKETYPE(depth, 4));
        cv::randu(image, 0, depth == CV_8U ? 256 : 65536);
        cv::Mat alpha(rows, cols, CV_MAKETYPE(depth, 1));
        cv::extractChannel(image, alpha, 3);
        if (k % 4 == 1 && depth == CV_8U) {
            // Alpha spread over 0..255 (alpha 1 at row 1, column 20); one row transparent.
            for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < cols; ++x) {
                    alpha.at<unsigned char>(y, x) = static_cast<unsigned char>((y * 37 + x * 11) % 256);
                }
            }
            alpha.row(rows / 2).setTo(0);
        } else {
            alpha.setTo(0, alpha < (depth == CV_8U ? 128 : 32768));  // plenty of transparent pixels
        }
        cv::insertChannel(alpha, image, 3);
        const std::string path = dir + "/fused_" + std::to_string(k) + ".png";
        ASSERT_TRUE(cv::imwrite(path, image));
        for (int margin : {-3, 0, 1, 4, 9}) {
            cv::Mat fast, literal;
            int fw = 0, fh = 0, lw = 0, lh = 0;
            float fs = 0, ls = 0;
            vellumcut::load_alpha_mask(path, margin, fast, fw, fh, fs);
            vellumcut::reference::load_alpha_mask(path, margin, literal, lw, lh, ls);
            ASSERT_EQ(fast.type(), literal.type());
            ASSERT_EQ(fast.size(), literal.size());
            EXPECT_EQ(fw, lw);
            EXPECT_EQ(fh, lh);
            EXPECT_EQ(fs, ls);
            EXPECT_EQ(cv::norm(fast, literal, cv::NORM_INF), 0.0) << "image " << k << " margin " << margin;
        }
    }
}

TEST(ReferenceMatch, SamplerDrawsAndKeepsTheSamePoints) {
    // Same seed: the same points in the same order, and the engine left in the
    // same state (not one draw more or less).
    std::mt19937 pick(5);
    int cases = 0;
    const float radii[] = {1.0f, 2.5f, 3.0f, 4.0f, 7.0f, 0.75f, 13.3f, 100.0f};
    for (float r : radii) {
        for (int attempts : {0, 1, 5, 30}) {
            for (int k = 0; k < 3; ++k) {
                const int w = 1 + static_cast<int>(pick() % 160), h = 1 + static_cast<int>(pick() % 160);
                const auto seed = static_cast<std::uint32_t>(pick());
                std::mt19937 fast_engine(seed), literal_engine(seed);
                const auto fast = vellumcut::poisson_disk_sample(w, h, r, attempts, fast_engine);
                const auto literal =
                    vellumcut::reference::poisson_disk_sample(w, h, r, attempts, literal_engine);
                ASSERT_EQ(fast, literal) << w << " x " << h << ", r " << r << ", k " << attempts;
                ASSERT_TRUE(fast_engine == literal_engine);
                ++cases;
            }
        }
    }
    // A large run, where the active list grows long.
    std::mt19937 a(99), b(99);
    EXPECT_EQ(vellumcut::poisson_disk_sample(700, 500, 3.0f, 30, a),
              vellumcut::reference::poisson_disk_sample(700, 500, 3.0f, 30, b));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(cases, 96);
}

TEST(ReferenceMatch, SquareRootThresholdDecidesLikeTheSquareRoot) {
    // Around the threshold, and at exact squares, the comparison without a
    // root must agree with r > sqrt(s) for every s.
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> radius(1e-3f, 1e4f);
    long checked = 0;
    for (int k = 0; k < 20000; ++k) {
        const float r = k < 64 ? static_cast<float>(k + 1) * 0.5f : radius(rng);
        const double limit = vellumcut::sqrt_threshold(r);
        const double rd = r;
        double s = std::nextafter(std::nextafter(std::nextafter(limit, 0.0), 0.0), 0.0);
        for (int step = 0; step < 7; ++step, s = std::nextafter(s, 1e300)) {
            ASSERT_EQ(rd > std::sqrt(s), s < limit) << "r " << r << " s " << s;
            ++checked;
        }
        for (double s2 : {rd * rd, std::nextafter(rd * rd, 0.0), std::nextafter(rd * rd, 1e300),
                          0.0, rd * rd * 0.25, rd * rd * 4.0}) {
            ASSERT_EQ(rd > std::sqrt(s2), s2 < limit) << "r " << r << " s " << s2;
        }
    }
    EXPECT_EQ(checked, 140000);
}

namespace {

// A sprite PNG: a disc with holes of several sizes (some tiny, some touching
// each other), one-pixel lines and necks, and a second smaller island.
std::string sprite_png(std::mt19937& rng, int size, int index) {
    cv::Mat bgra(size, size, CV_8UC4, cv::Scalar(30, 90, 150, 0));
    cv::Mat alpha = cv::Mat::zeros(size, size, CV_8UC1);
    cv::circle(alpha, {size / 2, size / 2}, size * 2 / 5, cv::Scalar(200), cv::FILLED);
    cv::circle(alpha, {size / 10, size / 10}, size / 14, cv::Scalar(90), cv::FILLED);
    std::uniform_int_distribution<int> coord(size / 5, size * 4 / 5), rad(1, size / 9);
    for (int k = 0; k < 9; ++k) {
        if (k % 3 == 2) {
            cv::line(alpha, {coord(rng), coord(rng)}, {coord(rng), coord(rng)}, cv::Scalar(0), 1);
        } else {
            cv::circle(alpha, {coord(rng), coord(rng)}, rad(rng), cv::Scalar(0), cv::FILLED);
        }
    }
    std::uniform_int_distribution<int> any(0, size - 1);
    for (int k = 0; k < size / 4; ++k) alpha.at<unsigned char>(any(rng), any(rng)) = 0;  // pinholes
    cv::insertChannel(alpha, bgra, 3);
    const std::string path = ::testing::TempDir() + "/sprite_" + std::to_string(index) + ".png";
    cv::imwrite(path, bgra);
    return path;
}

}  // namespace

TEST(ReferenceMatch, SampleFilterKeepsTheSameSamples) {
    // Samples from the sampler plus awkward ones: on outline pixels, half a
    // pixel off them, and clustered so the spacing test decides.
    std::mt19937 rng(31);
    long kept_total = 0;
    for (int k = 0; k < 16; ++k) {
        const std::string path = sprite_png(rng, 60 + 10 * (k % 5), k);
        for (int rpx : {1, 2, 3, 5}) {
            const vellumcut::detail::PoissonRegion region = vellumcut::detail::poisson_region(path, k % 3, rpx);
            const float r = static_cast<float>(rpx);
            std::mt19937 engine(rng());
            vellumcut::Loop samples = vellumcut::poisson_disk_sample(region.w, region.h, 1.0f, 30, engine);
            for (std::size_t i = 0; i < region.outer.size(); i += 2) {
                samples.push_back(region.outer[i]);
                samples.push_back(region.outer[i] + cv::Point2f(0.5f, 0.0f));
            }
            for (const vellumcut::Loop& hole : region.holes) {
                for (const cv::Point2f& p : hole) samples.push_back(p - cv::Point2f(0.0f, 0.5f));
            }
            std::shuffle(samples.begin(), samples.end(), rng);
            for (cv::Point2f& p : samples) {  // keep every sample on the mask
                p.x = std::min(std::max(p.x, 0.0f), static_cast<float>(region.w) - 0.5f);
                p.y = std::min(std::max(p.y, 0.0f), static_cast<float>(region.h) - 0.5f);
            }
            const vellumcut::Loop fast = vellumcut::detail::keep_samples(region, samples, r);
            ASSERT_EQ(fast, vellumcut::reference::keep_samples(region, samples, r))
                << "sprite " << k << " rpx " << rpx;
            kept_total += static_cast<long>(fast.size());
        }
    }
    EXPECT_GT(kept_total, 2000);
}

TEST(ReferenceMatch, SeededPoissonPngEqualsTheLiteralPipeline) {
    std::mt19937 rng(8);
    for (int k = 0; k < 12; ++k) {
        const std::string path = sprite_png(rng, 70 + 15 * (k % 4), 100 + k);
        for (int rpx : {2, 3, 6}) {
            const auto seed = static_cast<std::uint32_t>(rng());
            std::mt19937 a(seed), b(seed);
            const vellumcut::PoissonResult fast = vellumcut::detail::poisson_png(path, 1.5f, 4, rpx, a);
            const vellumcut::PoissonResult literal =
                vellumcut::reference::poisson_png(path, 1.5f, 4, rpx, b);
            ASSERT_EQ(fast.mesh.v, literal.mesh.v) << "sprite " << k << " rpx " << rpx;
            ASSERT_EQ(fast.mesh.idx, literal.mesh.idx) << "sprite " << k << " rpx " << rpx;
            EXPECT_EQ(fast.w, literal.w);
            EXPECT_EQ(fast.h, literal.h);
            EXPECT_GT(fast.mesh.idx.size(), 0u);
            // The samples may be drawn on another thread; the caller's engine
            // still ends where drawing them itself would leave it.
            EXPECT_TRUE(a == b) << "sprite " << k << " rpx " << rpx;
        }
    }
}
