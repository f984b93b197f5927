#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/loader.hpp"
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

namespace {

// The bytes of a random 8-bit BGRA PNG (incompressible, so a few hundred KiB)
// and its mask as OpenCV's own chain computes it.
std::vector<unsigned char> random_png(cv::Mat& expected_mask) {
    cv::Mat bgra(230, 300, CV_8UC4);
    cv::randu(bgra, 0, 256);
    cv::Mat alpha;
    cv::extractChannel(bgra, alpha, 3);
    alpha.setTo(0, alpha < 100);
    cv::insertChannel(alpha, bgra, 3);
    cv::threshold(alpha, expected_mask, 0, 255, cv::THRESH_BINARY);
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(cv::imencode(".png", bgra, bytes));
    return bytes;
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

void expect_mask(const std::string& path, const cv::Mat& expected) {
    cv::Mat mask;
    int w = 0, h = 0;
    float scale = 0.0f;
    vellumcut::load_alpha_mask(path, 0, mask, w, h, scale);
    ASSERT_EQ(mask.size(), expected.size()) << path;
    EXPECT_EQ(cv::norm(mask, expected, cv::NORM_INF), 0.0) << path;
}

}  // namespace

TEST(LoadAlphaMask, ReadsFilesOfEverySizeAroundItsReadSteps) {
    // The loader reads the first MiB, checks the header, then the rest, with
    // buffers sized from the file's length. Data after a PNG's last chunk is
    // ignored by the decoder, so padding gives files of exact sizes on either
    // side of each step.
    cv::Mat expected;
    const std::vector<unsigned char> png = random_png(expected);
    ASSERT_LT(png.size(), std::size_t{1} << 20);
    const std::size_t mib = std::size_t{1} << 20;
    for (std::size_t size : {png.size(), mib - 1, mib, mib + 1, 2 * mib, 3 * mib + 7}) {
        std::vector<unsigned char> bytes = png;
        bytes.resize(size, 0x5a);
        const std::string path = ::testing::TempDir() + "/padded_" + std::to_string(size) + ".png";
        write_file(path, bytes);
        expect_mask(path, expected);
    }
}

