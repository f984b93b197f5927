// Native side of the benchmark: one measurement per process.
//
//   vellumcut_bench floor PATH MARGIN WARMUP
//       decode and trace only: imread, alpha channel, border, threshold,
//       findContours (RETR_CCOMP, every boundary pixel) - the floor that no
//       implementation reading the same image with the same OpenCV can beat.
//   vellumcut_bench reference FUNCTION PATH MARGIN RPX WARMUP [RINGS]
//       the literal reference implementation of FUNCTION; tri_mesh_debug
//       reads its outer ring, holes and free points from the RINGS file
//       (int32 count, then per ring int32 n and n float32 x, y pairs; the
//       first ring is the outer one, the last the free points).
//
// WARMUP "same" runs the same work once, untimed, first (lazy symbol binding
// and codec set-up are then not counted); "none" times a cold call.
//
// Prints one JSON object: the seconds the call took and the peak resident
// set size of the whole process in KiB (VmHWM).
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/loader.hpp"
#include "outline.hpp"
#include "reference.hpp"

namespace {

constexpr float kEps = 1.5f;

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: vellumcut_bench floor PATH MARGIN WARMUP\n"
                 "       vellumcut_bench reference FUNCTION PATH MARGIN RPX WARMUP [RINGS]\n");
    std::exit(2);
}

// Returns a count derived from the result so that nothing is optimised away.
long run_floor(const std::string& path, int margin) {
    cv::Mat mask;
    int w = 0, h = 0;
    float scale = 1.0f;
    // The plain OpenCV chain (imread, extractChannel, copyMakeBorder,
    // threshold), not the module's own loader.
    vellumcut::reference::load_alpha_mask(path, margin, mask, w, h, scale);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    long n = 0;
    for (const auto& c : contours) n += static_cast<long>(c.size());
    return n;
}

std::vector<vellumcut::Loop> read_rings(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    auto read_int = [&in]() {
        std::int32_t v = 0;
        in.read(reinterpret_cast<char*>(&v), sizeof v);
        if (!in) throw std::runtime_error("truncated rings file");
        return v;
    };
    std::vector<vellumcut::Loop> rings(static_cast<std::size_t>(read_int()));
    for (vellumcut::Loop& ring : rings) {
        ring.resize(static_cast<std::size_t>(read_int()));
        in.read(reinterpret_cast<char*>(ring.data()),
                static_cast<std::streamsize>(ring.size() * sizeof(cv::Point2f)));
        if (!in) throw std::runtime_error("truncated rings file");
    }
    return rings;
}

// Peak resident set of this process image (VmHWM from /proc). getrusage's
// ru_maxrss would still count the parent's pages from before exec.
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    rusage usage_now{};
    getrusage(RUSAGE_SELF, &usage_now);
    return usage_now.ru_maxrss;
}

// Inputs are read before the clock starts.
std::vector<vellumcut::Loop> g_rings;

long run_reference(const std::string& fn, const std::string& path, int margin, int rpx) {
    if (fn == "poisson_png") {
        std::random_device device;
        std::mt19937 engine(device());
        return static_cast<long>(
            vellumcut::reference::poisson_png(path, kEps, margin, rpx, engine).mesh.idx.size() / 3);
    }
    if (fn == "tri_mesh_debug") {
        const std::vector<vellumcut::Loop> holes(g_rings.begin() + 1, g_rings.end() - 1);
        return static_cast<long>(
            vellumcut::reference::tri_mesh_debug(g_rings.front(), holes, g_rings.back()).idx.size() / 3);
    }
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
    if (argc < 5) usage();
    const std::string mode = argv[1];
    long count = 0;
    if (mode == "reference" && argc > 7) {
        g_rings = read_rings(argv[7]);
    }
    const bool floor_mode = mode == "floor";
    if (!floor_mode && !(mode == "reference" && argc >= 7)) usage();
    const bool warm = std::string(argv[floor_mode ? 4 : 6]) == "same";
    auto run = [&]() {
        return floor_mode ? run_floor(argv[2], std::atoi(argv[3]))
                          : run_reference(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    };
    if (warm) run();
    const auto t0 = std::chrono::steady_clock::now();
    count = run();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("{\"seconds\": %.6f, \"maxrss_kib\": %ld, \"count\": %ld}\n", seconds,
                peak_rss_kib(), count);
    return 0;
}
