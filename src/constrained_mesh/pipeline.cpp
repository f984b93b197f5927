#include "constrained_mesh/pipeline.hpp"
#include "constrained_mesh/detail/pipeline_stages.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/background_sampler.hpp"
#include "constrained_mesh/ring_index.hpp"
#include "constrained_mesh/sampler.hpp"
#include "constrained_mesh/spacing_grid.hpp"
#include "mask/loader.hpp"
#include "messages.hpp"
#include "outline.hpp"

namespace vellumcut {

namespace {

constexpr int kSampleAttempts = 30;
constexpr double kMinHoleArea = 1.0;  // holes of this area or less are meshed over

Loop to_loop(const std::vector<cv::Point>& contour) {
    Loop loop;
    loop.reserve(contour.size());
    for (const cv::Point& p : contour) {
        loop.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    return loop;
}

void fill_polygon(cv::Mat& img, const std::vector<cv::Point>& polygon, int value) {
    const cv::Point* pts = polygon.data();
    const int n = static_cast<int>(polygon.size());
    cv::fillPoly(img, &pts, &n, 1, cv::Scalar(value, 0, 0, 0), cv::LINE_8, 0, cv::Point(0, 0));
}

void check_rpx(int rpx) {
    if (rpx <= 0) {
        throw std::invalid_argument("rpx must be a positive number of pixels, got " +
                                    std::to_string(rpx));
    }
}

// Tracing, region choice, region mask and clearance map of a decoded mask.
detail::PoissonRegion trace_region(AlphaMask loaded, Stop& stop) {
    detail::PoissonRegion result;
    result.w = loaded.w;
    result.h = loaded.h;
    result.scale = loaded.scale;
    cv::Mat mask = std::move(loaded.mask);
    stop.poll();

    // RETR_CCOMP: outer boundaries at the top level, their holes as children.
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE,
                     cv::Point(0, 0));
    if (contours.empty()) throw std::runtime_error(messages::kNoOpaque);
    mask.release();
    // Each OpenCV step over the mask takes well under a second even at the
    // largest mask; the stop is asked between them.
    stop.poll();

    const detail::RegionChoice choice = detail::choose_region(contours, hierarchy);
    const std::vector<cv::Point>& outer_contour = contours[choice.outer];
    result.outer = to_loop(outer_contour);
    result.holes.reserve(choice.holes.size());
    for (int c : choice.holes) result.holes.push_back(to_loop(contours[c]));

    // Region: inside the outer outline and outside the retained holes. Each
    // polygon is filled including its own boundary pixels, so hole outlines
    // (which run over opaque pixels) are cleared too.
    cv::Mat region = cv::Mat::zeros(result.h, result.w, CV_8UC1);
    fill_polygon(region, outer_contour, 255);
    for (int c : choice.holes) fill_polygon(region, contours[c], 0);
    stop.poll();

    // Distance from each pixel to the nearest pixel outside the region.
    result.clearance = detail::region_clearance(region, cv::boundingRect(outer_contour));
    return result;
}

}  // namespace

namespace detail {

cv::Mat region_clearance(const cv::Mat& region, const cv::Rect& box) {
    // Only the region's box, grown by one pixel, is transformed: that ring
    // of pixels is outside the region (0), every pixel of the box reaches
    // the rest of the map only through it, and OpenCV's two passes take each
    // pixel's value from its 8 neighbours alone, so the values in the box
    // are exactly those of the whole map, and outside it every value is 0.
    // A 3 x 3 island in a margin of 4094 costs a small box, not 67 million
    // pixels twice over.
    const cv::Rect grown =
        (box + cv::Size(2, 2) - cv::Point(1, 1)) & cv::Rect(0, 0, region.cols, region.rows);
    cv::Mat clearance = cv::Mat::zeros(region.rows, region.cols, CV_32FC1);
    if (grown.area() == 0) return clearance;
    cv::Mat window = clearance(grown);
    cv::distanceTransform(region(grown), window, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
    CV_Assert(window.data == clearance(grown).data);  // written in place, not reallocated
    return clearance;
}

RegionChoice choose_region(const std::vector<std::vector<cv::Point>>& contours,
                           const std::vector<cv::Vec4i>& hierarchy) {
    RegionChoice choice;
    double best = 0.0;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        const double area = std::fabs(cv::contourArea(contours[i], false));
        if (area > best) {  // strict: the earliest of equal areas stays
            best = area;
            choice.outer = static_cast<int>(i);
        }
    }
    // Children of the chosen contour, linked by their "next" entries.
    for (int c = hierarchy[choice.outer][2]; c >= 0; c = hierarchy[c][0]) {
        if (std::fabs(cv::contourArea(contours[c], false)) > kMinHoleArea) {
            choice.holes.push_back(c);
        }
    }
    return choice;
}

PoissonRegion poisson_region(const std::string& path, int margin, int rpx) {
    check_rpx(rpx);
    AlphaMask mask = decode(inspect(path, margin));
    // As poisson_png: an rpx too small for the mask is refused before tracing.
    sample_grid(mask.w, mask.h, static_cast<float>(rpx));
    return trace_region(std::move(mask), no_stop());
}

Loop keep_samples(const PoissonRegion& region, const Loop& samples, float r, Stop& stop) {
    const float t = r * 1.5f;
    // The ring indices answer exactly as cv::pointPolygonTest on the same
    // rings; the grid keeps exactly what a scan of all kept samples keeps.
    const RingIndex outer_index = build_ring_index(region.outer);
    const RingIndex hole_index = build_ring_index(region.holes);
    SpacingGrid spacing = make_spacing_grid(r * r, region.w, region.h);
    Loop kept;
    // A sample costs from a few nanoseconds (a clearance look-up) to a few
    // microseconds (outline and spacing tests).
    constexpr std::size_t kPollInterval = 1024;
    std::size_t until_poll = kPollInterval;
    for (const cv::Point2f& p : samples) {
        if (--until_poll == 0) {
            stop.poll();
            until_poll = kPollInterval;
        }
        // Samples lie in [0, w) x [0, h), so truncation gives a valid pixel.
        if (region.clearance.at<float>(static_cast<int>(p.y), static_cast<int>(p.x)) < t) continue;
        if (ring_test(outer_index, p) < 0) continue;                // on the outline passes
        if (first_ring_not_outside(hole_index, p) >= 0) continue;   // on a hole outline fails
        if (!spacing_ok(spacing, p)) continue;
        spacing_add(spacing, p);
        kept.push_back(p);
    }
    return kept;
}

PoissonResult poisson_png(const std::string& path, float /*eps*/, int margin, int rpx,
                          std::mt19937& engine, Stop& stop) {
    check_rpx(rpx);
    const float r = static_cast<float>(rpx);
    BackgroundSampler sampler(r, kSampleAttempts, engine);
    // One way down: the header gives the size, the sampler starts on it, and
    // only then is the image decoded and traced.
    MaskSource source = inspect(path, margin);
    if (source.declared_w > 0) sampler.start(source.declared_w, source.declared_h);
    stop.poll();
    AlphaMask mask = decode(std::move(source), stop);
    // The sampler's grid for the decoded size; making it refuses an rpx too
    // small for the mask (std::invalid_argument) before any image-sized work.
    const SampleGrid grid = sample_grid(mask.w, mask.h, r);
    PoissonRegion region = trace_region(std::move(mask), stop);
    // take() joins the worker: no thread of ours is left running when the
    // mesher starts (it may fork to isolate Triangle).
    const std::vector<cv::Point2f> samples = sampler.take(grid, region.w, region.h, stop);

    // The samples cover the whole mask; the filter keeps those with enough
    // clearance inside the region, in sampler order.
    const Loop kept = keep_samples(region, samples, r, stop);
    region.clearance.release();  // not needed by the mesher; lowers the peak

    // The outlines go to the mesher exactly as traced: every boundary pixel,
    // OpenCV's orientation, points of a one-pixel neck visited twice.
    PoissonResult result;
    result.w = region.w;
    result.h = region.h;
    result.scale = region.scale;
    result.mesh = constrained_mesh(region.outer, region.holes, kept, stop);
    return result;
}

}  // namespace detail

PoissonResult poisson_png(const std::string& path, float eps, int margin, int rpx, Stop& stop) {
    std::random_device device;
    std::mt19937 engine(device());
    return detail::poisson_png(path, eps, margin, rpx, engine, stop);
}

}  // namespace vellumcut
