#include "outline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace vellumcut {

namespace {

// Distance used by clean_loop: differences in float, the norm in double.
double point_distance(const cv::Point2f& a, const cv::Point2f& b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const double ddx = dx;
    const double ddy = dy;
    return std::sqrt(ddx * ddx + ddy * ddy);
}

constexpr double kDuplicateTolerance = 1e-6;

// Margins up to this take the fused 8-bit path of load_alpha_mask; anything
// larger is left to copyMakeBorder and its own checks.
constexpr int kFusedMaxMargin = 1 << 16;

}  // namespace

void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale) {
    cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.empty() || image.channels() < 4) {
        throw std::runtime_error("RGBA PNG を指定してください");
    }
    h = image.rows;
    w = image.cols;
    if (static_cast<std::int64_t>(h) * static_cast<std::int64_t>(w) > kMaxImagePixels) {
        throw std::runtime_error("画像が大きすぎます");
    }

    // The common case, an 8-bit BGRA image, in one pass: border, alpha channel
    // and threshold together, straight into the mask. Same result as the
    // general path below, without three image-sized intermediates.
    if (image.type() == CV_8UC4 && margin <= kFusedMaxMargin) {
        const int m = std::max(margin, 0);
        mask.create(h + 2 * m, w + 2 * m, CV_8UC1);
        for (int y = 0; y < mask.rows; ++y) {
            unsigned char* out = mask.ptr<unsigned char>(y);
            const int src_y = y - m;
            if (src_y < 0 || src_y >= h) {
                std::fill(out, out + mask.cols, static_cast<unsigned char>(0));
                continue;
            }
            std::fill(out, out + m, static_cast<unsigned char>(0));
            std::fill(out + m + w, out + mask.cols, static_cast<unsigned char>(0));
            const unsigned char* in = image.ptr<unsigned char>(src_y);
            unsigned char* row = out + m;
            for (int x = 0; x < w; ++x) {
                row[x] = in[4 * x + 3] != 0 ? 255 : 0;  // channel 3 of B, G, R, A
            }
        }
        w += 2 * m;
        h += 2 * m;
        scale = 1.0f;
        return;
    }

    // OpenCV orders decoded channels B, G, R, A.
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    image.release();

    if (margin > 0) {
        cv::copyMakeBorder(alpha, alpha, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                           cv::Scalar(0, 0, 0, 0));
        w += 2 * margin;
        h += 2 * margin;
    }
    cv::threshold(alpha, mask, 0.0, 255.0, cv::THRESH_BINARY);
    scale = 1.0f;
}

double signed_area(const Loop& loop) {
    const std::size_t n = loop.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const cv::Point2f& a = loop[i];
        const cv::Point2f& b = loop[(i + 1) % n];
        const float term = a.x * b.y - b.x * a.y;
        sum += static_cast<double>(term);
    }
    return sum * 0.5;
}

Loop clean_loop(Loop loop) {
    Loop kept;
    kept.reserve(loop.size());
    for (const cv::Point2f& p : loop) {
        if (kept.empty() || point_distance(p, kept.back()) >= kDuplicateTolerance) {
            kept.push_back(p);
        }
    }
    if (kept.size() >= 2 && point_distance(kept.front(), kept.back()) < kDuplicateTolerance) {
        kept.pop_back();
    }
    if (kept.size() >= 3) {
        return kept;
    }
    if (kept.empty()) {
        throw std::invalid_argument("clean_loop needs at least one point");
    }

    float min_x = kept[0].x, max_x = kept[0].x;
    float min_y = kept[0].y, max_y = kept[0].y;
    for (const cv::Point2f& p : kept) {
        min_x = std::min(min_x, p.x);
        max_x = std::max(max_x, p.x);
        min_y = std::min(min_y, p.y);
        max_y = std::max(max_y, p.y);
    }
    loop.assign({{min_x - 1.0f, min_y - 1.0f},
                 {max_x + 1.0f, min_y - 1.0f},
                 {max_x + 1.0f, max_y + 1.0f},
                 {min_x - 1.0f, max_y + 1.0f}});
    return loop;
}

IslandsResult islands(const std::string& path, float eps, int margin) {
    IslandsResult result;
    cv::Mat mask;
    load_alpha_mask(path, margin, mask, result.w, result.h, result.scale);

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE, cv::Point(0, 0));

    std::vector<cv::Point> approx;
    for (const std::vector<cv::Point>& contour : contours) {
        if (cv::contourArea(contour, false) < 3.0) {
            continue;
        }
        cv::approxPolyDP(contour, approx, static_cast<double>(eps), true);
        Loop loop(approx.begin(), approx.end());
        loop = clean_loop(std::move(loop));
        if (signed_area(loop) > 0.0) {
            std::reverse(loop.begin(), loop.end());
        }
        std::vector<float> flat;
        flat.reserve(loop.size() * 2);
        for (const cv::Point2f& p : loop) {
            flat.push_back(p.x);
            flat.push_back(p.y);
        }
        result.loops.push_back(std::move(flat));
    }
    return result;
}

}  // namespace vellumcut
