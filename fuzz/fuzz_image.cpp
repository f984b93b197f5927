// libFuzzer target: arbitrary bytes as an image file.
//
// Every input goes through the header inspector directly (as a prefix and as
// the whole file) and then, written to a file, through the native image
// functions as Python would call them. Expected refusals are exceptions;
// anything else (a crash, a sanitizer report, a hang) is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "earcut_mesh.hpp"
#include "mask/header.hpp"
#include "mask/limits.hpp"
#include "mask/png_fast.hpp"
#include "mask/png_libpng.hpp"
#include "outline.hpp"
#include "targets.hpp"
#if __has_include("constrained_mesh/pipeline.hpp")
#include "constrained_mesh/pipeline.hpp"
#define VELLUMCUT_FUZZ_POISSON 1
#endif

namespace {

const std::string& scratch_path() {
    static const std::string path = "/dev/shm/vellumcut-fuzz-" + std::to_string(getpid()) + ".img";
    return path;
}

template <typename F>
void expect_only_exceptions(F&& f) {
    try {
        f();
    } catch (const std::exception&) {
        // a refusal: what the functions are meant to do with bad input
    }
}

}  // namespace

namespace vellumcut::fuzz {

void check_image_input(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t limit = static_cast<std::uint64_t>(kMaxImagePixels);
    const HeaderCheck whole = check_image_header(data, size, true, limit);
    // A prefix may only ask for more or agree with the whole file.
    const HeaderCheck part = check_image_header(data, size / 2, false, limit);
    if (part.verdict != HeaderVerdict::need_more && part.verdict != whole.verdict) __builtin_trap();

    // Whatever the PNG fast path decodes, OpenCV must decode to the same mask.
    cv::Mat fast;
    if (decode_png_alpha_mask(data, size, 0, fast)) {
        const cv::Mat image = cv::imdecode(
            cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<std::uint8_t*>(data)),
            cv::IMREAD_UNCHANGED);
        if (image.empty() || image.channels() != 4) __builtin_trap();
        cv::Mat alpha, slow;
        cv::extractChannel(image, alpha, 3);
        cv::threshold(alpha, slow, 0.0, 255.0, cv::THRESH_BINARY);
        if (slow.size() != fast.size() || cv::countNonZero(slow != fast) != 0) __builtin_trap();
    }

    // The libpng path must agree with OpenCV's PNG decoder on every file the
    // header check lets through: both refuse (no image, or fewer than 4
    // channels), or both give the same image.
    if (whole.format == ImageFormat::png && whole.verdict == HeaderVerdict::decodable) {
        const cv::Mat ours = decode_png_like_opencv(data, size);
        const cv::Mat theirs = cv::imdecode(
            cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<std::uint8_t*>(data)),
            cv::IMREAD_UNCHANGED);
        const bool ours_refused = ours.empty() || ours.channels() < 4;
        const bool theirs_refused = theirs.empty() || theirs.channels() < 4;
        if (ours_refused != theirs_refused) __builtin_trap();
        if (!theirs_refused &&
            (ours.type() != theirs.type() || ours.size() != theirs.size() ||
             cv::norm(ours, theirs, cv::NORM_INF) != 0.0)) {
            __builtin_trap();
        }
    }

    std::FILE* f = std::fopen(scratch_path().c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    const int margin = size > 0 ? data[0] % 6 : 0;
    expect_only_exceptions([&] { islands(scratch_path(), 1.0f, margin); });
    expect_only_exceptions([&] { triangulate_png(scratch_path(), 1.5f, margin, 0.0f); });
#ifdef VELLUMCUT_FUZZ_POISSON
    expect_only_exceptions([&] { poisson_png(scratch_path(), 1.0f, margin, 3 + margin); });
#endif
}

}  // namespace vellumcut::fuzz

#ifndef VELLUMCUT_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vellumcut::fuzz::check_image_input(data, size);
    return 0;
}
#endif
