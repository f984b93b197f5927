// Timing of the crossing detection on pixel outlines (not part of the test
// suite). A filled disc with many round holes is traced with OpenCV; every
// outline pixel step becomes a segment, as poisson_png hands them over.
//
// Build and run (after `make cpp-test`, which builds the geometry library):
//   g++ -std=c++17 -O2 -Isrc -I/usr/include/opencv4 bench/bench_crossings.cpp \
//       build/cpp-tests/libvellumcut_geometry.a -lopencv_imgproc -lopencv_core -ltriangle \
//       -o build/bench_crossings && build/bench_crossings [SIZE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/pslg.hpp"

int main(int argc, char** argv) {
    const int size = argc > 1 ? std::atoi(argv[1]) : 6000;
    cv::Mat mask = cv::Mat::zeros(size, size, CV_8U);
    cv::circle(mask, {size / 2, size / 2}, size * 45 / 100, 255, -1);
    for (int y = size / 8; y < size * 7 / 8; y += size / 16)
        for (int x = size / 8; x < size * 7 / 8; x += size / 16) cv::circle(mask, {x, y}, size / 48, 0, -1);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    std::vector<double> pts;
    std::vector<int> segs;
    std::map<std::pair<int, int>, int> index;
    for (const auto& c : contours) {
        std::vector<int> ids;
        for (const cv::Point& p : c) {
            const auto f = index.emplace(std::make_pair(p.x, p.y), static_cast<int>(pts.size() / 2));
            if (f.second) {
                pts.push_back(p.x);
                pts.push_back(p.y);
            }
            ids.push_back(f.first->second);
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] == ids[(i + 1) % ids.size()]) continue;
            segs.push_back(ids[i]);
            segs.push_back(ids[(i + 1) % ids.size()]);
        }
    }
    double best = 1e9;
    vellumcut::CrossingResolution r;
    for (int k = 0; k < 5; ++k) {
        auto p = pts;
        auto s = segs;
        const auto t0 = std::chrono::steady_clock::now();
        r = vellumcut::resolve_crossings(p, s, 1 << 26);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (ms < best) best = ms;
    }
    std::printf("%zu segments, %zu points: best of 5 %.1f ms (changed %d)\n", segs.size() / 2, pts.size() / 2,
                best, static_cast<int>(r.changed));
}
