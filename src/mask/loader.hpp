// The mask loader: an image file in, an AlphaMask out, in two one-way steps.
//
//   inspect(path, margin)  opens the file once, reads all of it, checks what
//                          its header declares and says which decoder will
//                          run; it refuses a file from its header alone.
//   decode(source)         decodes those bytes (never the path again) into the
//                          bordered, thresholded mask.
//
// A caller that needs only the mask's size (poisson_png's sampler) can start
// on `declared_w` x `declared_h` between the two steps; the decoded size is
// what counts, so it must compare the two afterwards.
//
// Coordinates of the mask: x to the right (columns), y downwards (rows),
// origin at the top-left pixel of the mask including its margin border.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"
#include "mask/header.hpp"

namespace vellumcut {

// Which decoder decode() runs on the bytes inspect() read.
enum class MaskDecoder {
    png,     // the libdeflate fast path, or libpng for the files it declines
    exr,     // OpenCV's EXR reader, on the file inspect() opened
    opencv,  // cv::imdecode on the bytes read
};

// What inspect() found. Move-only: it may hold the open file.
struct MaskSource {
    MaskSource() = default;
    MaskSource(MaskSource&& other) noexcept;
    MaskSource& operator=(MaskSource&& other) noexcept;
    MaskSource(const MaskSource&) = delete;
    MaskSource& operator=(const MaskSource&) = delete;
    ~MaskSource();

    MaskDecoder decoder = MaskDecoder::opencv;
    ImageFormat format = ImageFormat::unknown;
    int margin = 0;
    // The mask size (border included) the header declares, when it declares
    // one within every limit; 0 x 0 otherwise.
    int declared_w = 0;
    int declared_h = 0;
    std::vector<std::uint8_t> bytes;  // the whole file (empty for exr)
    int fd = -1;                      // the open file, kept for exr only
};

struct AlphaMask {
    cv::Mat mask;  // one channel, 0 or 255, depth of the decoded image
    int w = 0;     // columns, border included
    int h = 0;     // rows, border included
    float scale = 1.0f;
};

// Throws std::invalid_argument for a path with an embedded NUL,
// std::runtime_error("RGBA PNG を指定してください") for a file that cannot be
// opened or read or is not a regular file (a FIFO, device, directory or
// socket is refused at once, without reading), and the header's refusals
// ("画像が大きすぎます" for a declared size above the limit).
MaskSource inspect(const std::string& path, int margin);

// Decodes what inspect() read. Throws std::runtime_error with the messages
// above for undecodable images, images of fewer than 4 channels and decoded
// sizes above the limit, std::invalid_argument for a margin whose border would
// exceed kMaxMaskPixels, or cv::Exception when OpenCV itself fails. Writes
// nothing to stdout or stderr.
// `stop` is polled between decoding and building the bordered mask.
AlphaMask decode(MaskSource source, Stop& stop = no_stop());

// The decoded image itself for callers that threshold alpha their own way:
// every channel, in OpenCV's order (B, G, R, A) and sample depth, without
// border or threshold, from the decoder decode() would run (for PNG the
// libpng path; the alpha-only fast path is decode()'s own). Empty when the
// bytes do not decode. For a PNG without alpha the pixels are not decoded:
// the result is 1 x 1 with the image's channel count, and the image's size is
// the declared one (declared_w x declared_h, less the margin). Writes nothing to stdout or stderr; safe to call from
// several threads at once.
cv::Mat decode_pixels(const MaskSource& source);

// decode(inspect(path, margin)), with the results in out-parameters.
void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale);

}  // namespace vellumcut
