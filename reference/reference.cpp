#include "reference.hpp"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "outline.hpp"

namespace vellumcut::reference {

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
        throw std::runtime_error("不透明領域が見つかりません");
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
        throw std::runtime_error("不透明領域が見つかりません");
    }
    result.groups = mesh_traced(contours, hierarchy, area_floor(mask), eps);
    return result;
}

Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra) {
    std::vector<Loop> kept_holes;
    Mesh all = triangulate_all(outer, holes, extra, kept_holes);
    Mesh mesh;
    mesh.v = all.v;
    const std::size_t n_tri = all.idx.size() / 3;
    mesh.idx.reserve(all.idx.size());
    for (std::size_t t = 0; t < n_tri; ++t) {
        const cv::Point2f centroid = triangle_centroid(all, t);
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

}  // namespace vellumcut::reference
