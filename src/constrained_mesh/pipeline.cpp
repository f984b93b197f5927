#include "constrained_mesh/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/sampler.hpp"
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

// Bucket grid over the kept samples for spaced_subset. A float difference of
// r or more squares to at least r * r, so only a sample less than r away
// along both axes can reject a candidate; such a sample sits at most one
// bucket of side r away, and scanning two buckets in every direction finds it
// whatever the rounding of the bucket computation. The result is therefore
// exactly that of comparing against every kept sample.
class SpacingIndex {
public:
    SpacingIndex(int width, int height, float r) : r_(r) {
        cols_ = std::max(static_cast<int>(width / static_cast<double>(r)), 0) + 1;
        rows_ = std::max(static_cast<int>(height / static_cast<double>(r)), 0) + 1;
        head_.assign(static_cast<std::size_t>(cols_) * rows_, -1);
        s_ = r * r;
    }

    bool far_from_all(const cv::Point2f& p) const {
        const int gx = bucket(p.x, cols_), gy = bucket(p.y, rows_);
        for (int by = std::max(gy - 2, 0); by <= std::min(gy + 2, rows_ - 1); ++by) {
            for (int bx = std::max(gx - 2, 0); bx <= std::min(gx + 2, cols_ - 1); ++bx) {
                for (int k = head_[static_cast<std::size_t>(by) * cols_ + bx]; k >= 0; k = next_[k]) {
                    const float dx = p.x - points_[k].x;
                    const float dy = p.y - points_[k].y;
                    if (dx * dx + dy * dy < s_) return false;
                }
            }
        }
        return true;
    }

    void add(const cv::Point2f& p) {
        int& head = head_[static_cast<std::size_t>(bucket(p.y, rows_)) * cols_ + bucket(p.x, cols_)];
        next_.push_back(head);
        head = static_cast<int>(points_.size());
        points_.push_back(p);
    }

    Loop take_points() { return std::move(points_); }

private:
    // Monotone in v and clamped to the grid, so points off the grid (or NaN)
    // land in an edge bucket instead of out of range; the two-bucket reach
    // above still holds for them.
    int bucket(float v, int count) const {
        const double q = v / static_cast<double>(r_);
        if (!(q > 0.0)) return 0;
        if (q >= count - 1) return count - 1;
        return static_cast<int>(q);
    }

    float r_;
    float s_ = 0.0f;
    int cols_ = 0, rows_ = 0;
    std::vector<int> head_;  // last kept sample per bucket, -1 when none
    std::vector<int> next_;  // earlier kept sample in the same bucket
    Loop points_;            // kept samples in sampler order
};

}  // namespace

Loop spaced_subset(const Loop& points, int width, int height, float r) {
    SpacingIndex kept(width, height, r);
    for (const cv::Point2f& p : points) {
        if (kept.far_from_all(p)) kept.add(p);
    }
    return kept.take_points();
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

PoissonResult poisson_png(const std::string& path, float /*eps*/, int margin, int rpx) {
    if (rpx <= 0) {
        throw std::invalid_argument("rpx must be a positive number of pixels, got " +
                                    std::to_string(rpx));
    }
    PoissonResult result;
    cv::Mat mask;
    load_alpha_mask(path, margin, mask, result.w, result.h, result.scale);
    const float r = static_cast<float>(rpx);
    // Refuse an rpx whose sampling grid is too large before any image-sized
    // work is done (throws std::invalid_argument).
    sample_grid(result.w, result.h, r);

    // RETR_CCOMP: outer boundaries at the top level, their holes as children.
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE,
                     cv::Point(0, 0));
    if (contours.empty()) throw std::runtime_error("不透明領域が見つかりません");
    mask.release();

    const RegionChoice choice = choose_region(contours, hierarchy);
    const std::vector<cv::Point>& outer_contour = contours[choice.outer];
    const Loop outer = to_loop(outer_contour);
    std::vector<Loop> holes;
    holes.reserve(choice.holes.size());
    for (int c : choice.holes) holes.push_back(to_loop(contours[c]));

    // Region: inside the outer outline and outside the retained holes. Each
    // polygon is filled including its own boundary pixels, so hole outlines
    // (which run over opaque pixels) are cleared too.
    cv::Mat region = cv::Mat::zeros(result.h, result.w, CV_8UC1);
    fill_polygon(region, outer_contour, 255);
    for (int c : choice.holes) fill_polygon(region, contours[c], 0);

    // Distance from each pixel to the nearest pixel outside the region.
    cv::Mat clearance;
    cv::distanceTransform(region, clearance, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
    region.release();

    const float t = r * 1.5f;
    const std::vector<cv::Point2f> samples =
        poisson_disk_sample(result.w, result.h, r, kSampleAttempts);

    // The samples cover the whole mask; keep those with enough clearance
    // inside the region. The per-sample tests run in this order, cheapest
    // first, and a sample leaves at the first it fails; the spacing test
    // against earlier kept samples comes last.
    Loop inside;
    for (const cv::Point2f& p : samples) {
        // Samples lie in [0, w) x [0, h), so truncation gives a valid pixel.
        if (clearance.at<float>(static_cast<int>(p.y), static_cast<int>(p.x)) < t) continue;
        if (cv::pointPolygonTest(outer, p, false) < 0) continue;  // on the outline passes
        bool in_hole = false;
        for (const Loop& hole : holes) {
            if (cv::pointPolygonTest(hole, p, false) >= 0) {  // on a hole outline fails
                in_hole = true;
                break;
            }
        }
        if (in_hole) continue;
        inside.push_back(p);
    }
    const Loop kept = spaced_subset(inside, result.w, result.h, r);

    // The outlines go to the mesher exactly as traced: every boundary pixel,
    // OpenCV's orientation, points of a one-pixel neck visited twice.
    result.mesh = tri_mesh_debug(outer, holes, kept);
    return result;
}

}  // namespace vellumcut
