#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "constrained_mesh/detail/mesher_steps.hpp"
#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/sampler.hpp"
#include "detail/earcut_steps.hpp"
#include "mask/limits.hpp"
#include "messages.hpp"
#include "outline.hpp"

namespace vellumcut::reference {

void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale) {
    cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.empty() || image.channels() < 4) {
        throw std::runtime_error(messages::kNotRgba);
    }
    h = image.rows;
    w = image.cols;
    if (static_cast<std::int64_t>(h) * static_cast<std::int64_t>(w) > kMaxImagePixels) {
        throw std::runtime_error(messages::kTooBig);
    }
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    if (margin > 0) {
        cv::copyMakeBorder(alpha, alpha, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                           cv::Scalar(0, 0, 0, 0));
        w += 2 * margin;
        h += 2 * margin;
    }
    cv::threshold(alpha, mask, 0.0, 255.0, cv::THRESH_BINARY);
    scale = 1.0f;
}

double area_floor(const cv::Mat& mask) {
    cv::Mat locations;
    cv::findNonZero(mask, locations);
    if (locations.total() == 0) {
        throw std::runtime_error(messages::kNoOpaque);
    }
    const cv::Point first = locations.at<cv::Point>(0);
    const cv::Point last = locations.at<cv::Point>(static_cast<int>(locations.total() - 1));
    const std::int32_t dx = last.x - first.x + 1;
    const std::int32_t dy = last.y - first.y + 1;
    return static_cast<double>(static_cast<std::int64_t>(dx) * static_cast<std::int64_t>(dy)) *
           0.0005;
}

EarcutResult triangulate_png(const std::string& path, float eps, int margin, float /*maxA*/) {
    EarcutResult result;
    cv::Mat mask;
    reference::load_alpha_mask(path, margin, mask, result.w, result.h, result.scale);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE,
                     cv::Point(0, 0));
    if (contours.empty() || hierarchy.empty()) {
        throw std::runtime_error(messages::kNoOpaque);
    }
    result.groups = detail::mesh_traced(contours, hierarchy, area_floor(mask), eps);
    return result;
}

Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra) {
    std::vector<Loop> kept_holes;
    Mesh all = detail::triangulate_all(outer, holes, extra, kept_holes);
    Mesh mesh;
    mesh.v = all.v;
    const std::size_t n_tri = all.idx.size() / 3;
    mesh.idx.reserve(all.idx.size());
    for (std::size_t t = 0; t < n_tri; ++t) {
        const cv::Point2f centroid = detail::triangle_centroid(all, t);
        if (cv::pointPolygonTest(outer, centroid, false) < 0) continue;
        bool in_hole = false;
        for (const Loop& h : kept_holes) {
            if (cv::pointPolygonTest(h, centroid, false) >= 0) {
                in_hole = true;
                break;
            }
        }
        if (in_hole) continue;
        mesh.idx.insert(mesh.idx.end(), all.idx.begin() + 3 * t, all.idx.begin() + 3 * t + 3);
    }
    return mesh;
}

std::vector<cv::Point2f> poisson_disk_sample(int width, int height, float radius, int attempts,
                                             std::mt19937& engine) {
    const SampleGrid g = sample_grid(width, height, radius);
    const float W = static_cast<float>(width);
    const float H = static_cast<float>(height);
    const float c = g.cell;
    const double r_d = radius;
    std::vector<cv::Point2f> grid(static_cast<std::size_t>(g.cols) * g.rows,
                                  cv::Point2f(-9999.0f, -9999.0f));
    auto cell_of = [&](const cv::Point2f& p) -> cv::Point2f& {
        const int gx = static_cast<int>(p.x / c);
        const int gy = static_cast<int>(p.y / c);
        return grid[static_cast<std::size_t>(gy) * g.cols + gx];
    };

    std::vector<cv::Point2f> out;
    std::vector<cv::Point2f> active;
    const float x0 = unit_float(engine) * W;
    const float y0 = unit_float(engine) * H;
    out.push_back({x0, y0});
    active.push_back({x0, y0});
    cell_of({x0, y0}) = {x0, y0};

    while (!active.empty()) {
        const std::uint32_t i = uniform_index(engine, static_cast<std::uint32_t>(active.size()));
        const cv::Point2f p = active[i];
        bool spawned = false;
        for (int k = 0; k < attempts; ++k) {
            const float a = unit_float(engine) * 6.2831855f;
            const float d = (unit_float(engine) + 1.0f) * radius;
            const float cy = d * std::sin(a) + p.y;
            const float cx = std::cos(a) * d + p.x;
            if (cx < 0.0f || cy < 0.0f || cx >= W || cy >= H) continue;
            const int gx = static_cast<int>(cx / c);
            const int gy = static_cast<int>(cy / c);
            bool too_close = false;
            for (int xx = std::max(gx - 2, 0); xx <= std::min(gx + 2, g.gx_max) && !too_close; ++xx) {
                for (int yy = std::max(gy - 2, 0); yy <= std::min(gy + 2, g.gy_max); ++yy) {
                    const cv::Point2f& q = grid[static_cast<std::size_t>(yy) * g.cols + xx];
                    if (q.x < 0.0f) continue;
                    const double dx = static_cast<float>(cx - q.x);
                    const double dy = static_cast<float>(cy - q.y);
                    if (r_d > std::sqrt(dx * dx + dy * dy)) {
                        too_close = true;
                        break;
                    }
                }
            }
            if (too_close) continue;
            out.push_back({cx, cy});
            active.push_back({cx, cy});
            cell_of({cx, cy}) = {cx, cy};
            spawned = true;
            break;
        }
        if (!spawned) {
            active.erase(active.begin() + i);
        }
    }
    return out;
}

Loop keep_samples(const detail::PoissonRegion& region, const Loop& samples, float r) {
    const float t = r * 1.5f;
    const float s = r * r;
    Loop kept;
    for (const cv::Point2f& p : samples) {
        if (region.clearance.at<float>(static_cast<int>(p.y), static_cast<int>(p.x)) < t) continue;
        if (cv::pointPolygonTest(region.outer, p, false) < 0) continue;
        bool in_hole = false;
        for (const Loop& hole : region.holes) {
            if (cv::pointPolygonTest(hole, p, false) >= 0) {
                in_hole = true;
                break;
            }
        }
        if (in_hole) continue;
        bool spaced = true;
        for (const cv::Point2f& q : kept) {
            const float dx = p.x - q.x;
            const float dy = p.y - q.y;
            if (dx * dx + dy * dy < s) {
                spaced = false;
                break;
            }
        }
        if (spaced) kept.push_back(p);
    }
    return kept;
}

PoissonResult poisson_png(const std::string& path, float /*eps*/, int margin, int rpx,
                          std::mt19937& engine) {
    const detail::PoissonRegion region = detail::poisson_region(path, margin, rpx);
    const float r = static_cast<float>(rpx);
    const std::vector<cv::Point2f> samples =
        reference::poisson_disk_sample(region.w, region.h, r, 30, engine);
    const Loop kept = reference::keep_samples(region, samples, r);
    PoissonResult result;
    result.w = region.w;
    result.h = region.h;
    result.scale = region.scale;
    result.mesh = reference::tri_mesh_debug(region.outer, region.holes, kept);
    return result;
}

}  // namespace vellumcut::reference
