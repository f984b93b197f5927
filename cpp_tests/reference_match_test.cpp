// Every fast path gives exactly what its literal reference gives, over many
// generated inputs with fixed seeds.
#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>

#include "earcut_mesh.hpp"
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
        ASSERT_EQ(vellumcut::area_floor(mask), want) << "mask " << k;
        negative += want <= 0.0;
    }
    EXPECT_GT(negative, 100);  // last opaque pixel left of the first one
    // Submatrices (row stride wider than the row) are scanned correctly too.
    const cv::Mat big = random_mask(rng);
    cv::Mat wide = cv::Mat::zeros(big.rows, big.cols + 9, CV_8UC1);
    big.copyTo(wide(cv::Rect(0, 0, big.cols, big.rows)));
    const cv::Mat view = wide(cv::Rect(0, 0, big.cols, big.rows));
    EXPECT_EQ(vellumcut::area_floor(view), vellumcut::reference::area_floor(view));
}

TEST(ReferenceMatch, AreaFloorRefusesEmptyMask) {
    const cv::Mat empty = cv::Mat::zeros(5, 5, CV_8UC1);
    EXPECT_THROW(vellumcut::area_floor(empty), std::runtime_error);
    EXPECT_THROW(vellumcut::reference::area_floor(empty), std::runtime_error);
}
