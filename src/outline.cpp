#include "outline.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "mask/loader.hpp"

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

}  // namespace

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

IslandsResult islands(const std::string& path, float eps, int margin, Stop& stop) {
    IslandsResult result;
    AlphaMask loaded = decode(inspect(path, margin), stop);
    result.w = loaded.w;
    result.h = loaded.h;
    result.scale = loaded.scale;
    const cv::Mat mask = std::move(loaded.mask);
    stop.poll();

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE, cv::Point(0, 0));
    stop.poll();

    std::vector<cv::Point> approx;
    std::size_t visited = 0;
    for (const std::vector<cv::Point>& contour : contours) {
        if (++visited % 1024 == 0) stop.poll();
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
