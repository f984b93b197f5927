// Fast path of the mask loader for the common sprite file: an 8-bit,
// non-interlaced PNG with an alpha channel.
//
// OpenCV decodes every channel of every pixel through libpng and zlib, then
// the loader keeps one channel of four. PNG's row filters work byte by byte
// on the bytes of the same channel, so the alpha channel can be unfiltered on
// its own; with the whole compressed stream inflated at once by libdeflate
// this decodes a 4096 x 4096 sprite several times faster than cv::imdecode.
#pragma once

#include <cstddef>
#include <cstdint>

#include <opencv2/core.hpp>

namespace vellumcut {

// Whether this build has the fast path (it needs libdeflate).
bool png_alpha_fast_path_available();

// Decodes the PNG held in data[0, size) into `mask` exactly as the loader's
// OpenCV path would: the alpha channel with `margin` transparent pixels on
// every side (none when margin <= 0), 255 where alpha > 0 and 0 elsewhere,
// CV_8UC1.
//
// Takes only files that libpng and OpenCV decode without complaint: 8-bit
// RGBA or grey+alpha, not interlaced, every chunk's CRC right, no palette, no
// transparency chunk, no animation chunks, no unknown critical chunk, one run
// of IDAT chunks holding exactly one zlib stream (32 KiB window, Adler-32
// right, nothing after it) of exactly the image's size, and within the
// loader's size limits and OpenCV's default decoding limits. For anything
// else it returns false and leaves `mask` as it was, and the caller decodes
// through OpenCV, which then reports whatever it reports for that file.
// Throws only std::bad_alloc.
bool decode_png_alpha_mask(const std::uint8_t* data, std::size_t size, int margin,
                           cv::Mat& mask);

}  // namespace vellumcut
