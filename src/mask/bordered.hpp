// The bordered, thresholded mask: built here and only here, whichever decoder
// produced the pixels.
//
// An AlphaMask is the image's alpha channel with `margin` transparent pixels
// on every side (none when margin <= 0), 255 where alpha > 0 and 0 elsewhere,
// in the sample depth of the decoded image.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

namespace vellumcut {

// Allocates the (h + 2m) x (w + 2m) mask of `type` (m = max(margin, 0)) with
// its border already zero; the caller fills interior_of(mask, margin). Throws
// std::invalid_argument when the border would exceed kMaxMaskPixels: this is
// the one place the margin is refused.
cv::Mat make_bordered_mask(int w, int h, int margin, int type);

// The image-sized window of a mask made by make_bordered_mask.
cv::Mat interior_of(const cv::Mat& mask, int margin);

// The general case: `alpha` (one channel, any depth) thresholded into a new
// bordered mask of the same depth.
cv::Mat bordered_mask_from_alpha(const cv::Mat& alpha, int margin);

// The common case, an 8-bit B, G, R, A image, in one pass: alpha gathered and
// thresholded straight into the mask, without image-sized intermediates.
cv::Mat bordered_mask_from_bgra8(const cv::Mat& image, int margin);

// cur[x] = the last byte (alpha) of pixel x of a row of `bytes_per_pixel`-byte
// pixels (4 or 2), for x < w.
void gather_alpha(const std::uint8_t* row, int bytes_per_pixel, int w, std::uint8_t* cur);

// out[x] = 255 where alpha[x] > 0, else 0, for x < w; out may be alpha.
void threshold_alpha(const std::uint8_t* alpha, std::uint8_t* out, int w);

}  // namespace vellumcut
