// PNG files that the fast path declines, decoded through libpng directly.
//
// OpenCV's PNG decoder creates its libpng reader with libpng's default
// handlers, which print every error and warning ("libpng error: ...") on
// stderr. This one makes the same libpng calls in the same order (the same
// transformations, so the same pixels, channels and depth) with handlers of
// its own that print nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include <opencv2/core.hpp>

namespace vellumcut {

// The image cv::imdecode(..., IMREAD_UNCHANGED) makes of these PNG bytes:
// B, G, R, A (or fewer channels), 8 or 16 bits, or an empty Mat where OpenCV
// gives none. For an image of fewer than 4 channels it returns a 1 x 1 Mat of
// that channel count instead of decoding pixels nobody reads. When OpenCV's
// size limits are lowered through its environment variables, the decision is
// OpenCV's: the bytes go to cv::imdecode itself.
cv::Mat decode_png_like_opencv(const std::uint8_t* data, std::size_t size);

}  // namespace vellumcut
