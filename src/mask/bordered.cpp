#include "mask/bordered.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mask/limits.hpp"

namespace vellumcut {

cv::Mat make_bordered_mask(int w, int h, int margin, int type) {
    if (!bordered_size_fits(w, h, margin)) {
        throw std::invalid_argument("margin too large: the mask with its border would exceed " +
                                    std::to_string(kMaxMaskPixels) + " pixels");
    }
    const int m = std::max(margin, 0);
    cv::Mat mask(h + 2 * m, w + 2 * m, type);
    if (m > 0) {
        // Only the border is zeroed: the decoders write every interior pixel.
        const std::size_t row_bytes = mask.elemSize() * static_cast<std::size_t>(mask.cols);
        const std::size_t side_bytes = mask.elemSize() * static_cast<std::size_t>(m);
        for (int y = 0; y < mask.rows; ++y) {
            std::uint8_t* row = mask.ptr<std::uint8_t>(y);
            if (y < m || y >= m + h) {
                std::memset(row, 0, row_bytes);
            } else {
                std::memset(row, 0, side_bytes);
                std::memset(row + row_bytes - side_bytes, 0, side_bytes);
            }
        }
    }
    return mask;
}

cv::Mat interior_of(const cv::Mat& mask, int margin) {
    const int m = std::max(margin, 0);
    return mask(cv::Rect(m, m, mask.cols - 2 * m, mask.rows - 2 * m));
}

cv::Mat bordered_mask_from_alpha(const cv::Mat& alpha, int margin) {
    cv::Mat mask = make_bordered_mask(alpha.cols, alpha.rows, margin, alpha.type());
    // threshold works pixel by pixel, so thresholding into the window of a
    // zero border gives what bordering the thresholded channel would. The
    // window has the source's size and type: threshold writes into it in place.
    cv::Mat window = interior_of(mask, margin);
    cv::threshold(alpha, window, 0.0, 255.0, cv::THRESH_BINARY);
    return mask;
}

cv::Mat bordered_mask_from_bgra8(const cv::Mat& image, int margin) {
    CV_Assert(image.type() == CV_8UC4);
    cv::Mat mask = make_bordered_mask(image.cols, image.rows, margin, CV_8UC1);
    const int m = std::max(margin, 0);
    for (int y = 0; y < image.rows; ++y) {
        std::uint8_t* out = mask.ptr<std::uint8_t>(y + m) + m;
        // The alpha byte is channel 3 of B, G, R, A.
        gather_alpha(image.ptr<std::uint8_t>(y), 4, image.cols, out);
        threshold_alpha(out, out, image.cols);
    }
    return mask;
}

void gather_alpha(const std::uint8_t* row, int bytes_per_pixel, int w, std::uint8_t* cur) {
    int x = 0;
#if defined(__SSE2__)
    if (bytes_per_pixel == 4) {
        // Each 32-bit lane is one pixel with alpha in its top byte: shift it
        // down and pack sixteen lanes into bytes (0..255 passes both packs).
        for (; x + 16 <= w; x += 16) {
            const std::uint8_t* p = row + 4 * static_cast<std::ptrdiff_t>(x);
            const __m128i a0 = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 24);
            const __m128i a1 = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), 24);
            const __m128i a2 = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), 24);
            const __m128i a3 = _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 24);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + x),
                             _mm_packus_epi16(_mm_packs_epi32(a0, a1), _mm_packs_epi32(a2, a3)));
        }
    } else {
        for (; x + 16 <= w; x += 16) {
            const std::uint8_t* p = row + 2 * static_cast<std::ptrdiff_t>(x);
            const __m128i a0 = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 8);
            const __m128i a1 = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), 8);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + x), _mm_packus_epi16(a0, a1));
        }
    }
#endif
    for (; x < w; ++x) cur[x] = row[static_cast<std::ptrdiff_t>(x) * bytes_per_pixel + bytes_per_pixel - 1];
}

void threshold_alpha(const std::uint8_t* alpha, std::uint8_t* out, int w) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi8(-1);
    for (; x + 16 <= w; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                         _mm_andnot_si128(_mm_cmpeq_epi8(a, zero), ones));
    }
#endif
    for (; x < w; ++x) out[x] = alpha[x] != 0 ? 255 : 0;
}

}  // namespace vellumcut
