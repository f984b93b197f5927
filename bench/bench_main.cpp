// Native side of the benchmark: one measurement per process.
//
//   vellumcut_bench floor PATH MARGIN
//       decode and trace only: imread, alpha channel, border, threshold,
//       findContours (RETR_CCOMP, every boundary pixel) - the floor that no
//       implementation reading the same image with the same OpenCV can beat.
//   vellumcut_bench reference FUNCTION PATH MARGIN [RPX]
//       the literal reference implementation of FUNCTION.
//
// Prints one JSON object: the seconds the call took and the peak resident
// set size of the whole process in KiB.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "outline.hpp"
#include "reference.hpp"

namespace {

constexpr float kEps = 1.5f;

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: vellumcut_bench floor PATH MARGIN\n"
                 "       vellumcut_bench reference FUNCTION PATH MARGIN [RPX]\n");
    std::exit(2);
}

// Returns a count derived from the result so that nothing is optimised away.
long run_floor(const std::string& path, int margin) {
    cv::Mat mask;
    int w = 0, h = 0;
    float scale = 1.0f;
    vellumcut::load_alpha_mask(path, margin, mask, w, h, scale);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    long n = 0;
    for (const auto& c : contours) n += static_cast<long>(c.size());
    return n;
}

long run_reference(const std::string& fn, const std::string& path, int margin, int rpx) {
    (void)rpx;
    if (fn == "triangulate_png") {
        const vellumcut::EarcutResult r = vellumcut::reference::triangulate_png(path, kEps, margin, 0.0f);
        long n = 0;
        for (const auto& g : r.groups) n += static_cast<long>(g.idx.size() / 3);
        return n;
    }
    std::fprintf(stderr, "no reference for %s\n", fn.c_str());
    std::exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) usage();
    const std::string mode = argv[1];
    long count = 0;
    const auto t0 = std::chrono::steady_clock::now();
    if (mode == "floor") {
        count = run_floor(argv[2], std::atoi(argv[3]));
    } else if (mode == "reference" && argc >= 5) {
        count = run_reference(argv[2], argv[3], std::atoi(argv[4]), argc > 5 ? std::atoi(argv[5]) : 0);
    } else {
        usage();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage usage_now{};
    getrusage(RUSAGE_SELF, &usage_now);
    std::printf("{\"seconds\": %.6f, \"maxrss_kib\": %ld, \"count\": %ld}\n", seconds,
                usage_now.ru_maxrss, count);
    return 0;
}
