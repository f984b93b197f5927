// Size limits of the mask loader, and the one rule for the margin border.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellumcut {

// Images above this many pixels (before the margin is added) are refused.
constexpr long long kMaxImagePixels = 4096LL * 4096LL;
// The mask with its margin border may hold at most this many pixels (a 4096 x
// 4096 image with a margin of up to 2048).
constexpr long long kMaxMaskPixels = 4 * kMaxImagePixels;

// Whether a w x h image with `margin` transparent pixels on every side stays
// within kMaxMaskPixels (a margin of 0 or less adds nothing). The border is
// the caller's to choose, but it must neither overflow the int sizes OpenCV
// works with nor make a tiny image allocate gigabytes of transparent mask.
constexpr bool bordered_size_fits(int w, int h, int margin) {
    if (margin <= 0) return true;
    const std::int64_t bordered_w = static_cast<std::int64_t>(w) + 2 * std::int64_t{margin};
    const std::int64_t bordered_h = static_cast<std::int64_t>(h) + 2 * std::int64_t{margin};
    return bordered_w <= kMaxMaskPixels && bordered_h <= kMaxMaskPixels &&
           bordered_w * bordered_h <= kMaxMaskPixels;
}

}  // namespace vellumcut
