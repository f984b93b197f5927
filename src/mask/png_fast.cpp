#include "mask/png_fast.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mask/bordered.hpp"
#include "mask/limits.hpp"

#ifdef VELLUMCUT_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace vellumcut {

#ifndef VELLUMCUT_HAVE_LIBDEFLATE

bool png_alpha_fast_path_available() { return false; }

bool decode_png_alpha_mask(const std::uint8_t*, std::size_t, int, cv::Mat&) { return false; }

#else

namespace {

constexpr std::uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// libpng's default limits: a larger width or height is an error, and so is an
// ancillary chunk longer than its default chunk allocation limit.
constexpr std::uint32_t kLibpngMaxSide = 1000000;
constexpr std::uint32_t kLibpngMaxChunk = 8000000;

constexpr std::uint32_t chunk_name(char a, char b, char c, char d) {
    return (std::uint32_t{static_cast<std::uint8_t>(a)} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(b)} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(c)} << 8) | std::uint32_t{static_cast<std::uint8_t>(d)};
}
constexpr std::uint32_t kIHDR = chunk_name('I', 'H', 'D', 'R');
constexpr std::uint32_t kIDAT = chunk_name('I', 'D', 'A', 'T');
constexpr std::uint32_t kIEND = chunk_name('I', 'E', 'N', 'D');
constexpr std::uint32_t kTRNS = chunk_name('t', 'R', 'N', 'S');
// Animation chunks: libpng builds that read APNG handle them on their own.
constexpr std::uint32_t kACTL = chunk_name('a', 'c', 'T', 'L');
constexpr std::uint32_t kFCTL = chunk_name('f', 'c', 'T', 'L');
constexpr std::uint32_t kFDAT = chunk_name('f', 'd', 'A', 'T');

std::uint32_t read_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

bool is_ascii_letter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// OpenCV refuses images above limits that these variables lower; with any of
// them set, the decision is left to OpenCV.
bool opencv_limits_overridden() {
    return std::getenv("OPENCV_IO_MAX_IMAGE_WIDTH") != nullptr ||
           std::getenv("OPENCV_IO_MAX_IMAGE_HEIGHT") != nullptr ||
           std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS") != nullptr;
}

struct PngLayout {
    int width = 0;
    int height = 0;
    int bytes_per_pixel = 0;  // 4 (RGBA) or 2 (grey + alpha); alpha is the last byte
    // The compressed stream: one IDAT chunk's data in place, or several copied
    // together.
    const std::uint8_t* stream = nullptr;
    std::size_t stream_size = 0;
    std::vector<std::uint8_t> joined;
};

// Walks the chunks and fills `layout`; false for any file the fast path does
// not take (see the header).
bool read_layout(const std::uint8_t* data, std::size_t size, PngLayout& layout) {
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
        return false;
    }
    struct Span {
        const std::uint8_t* data;
        std::size_t size;
    };
    std::vector<Span> idat;
    std::size_t idat_bytes = 0;
    std::uint64_t max_idat_chunk = 0;
    bool have_header = false;
    bool in_idat = false;
    bool idat_done = false;
    std::size_t pos = sizeof kSignature;
    for (;;) {
        if (size - pos < 12) return false;  // no room for another chunk: no IEND
        const std::uint32_t length = read_be32(data + pos);
        if (length > 0x7fffffffu || size - pos - 12 < length) return false;
        const std::uint8_t* type = data + pos + 4;
        const std::uint8_t* body = type + 4;
        for (int i = 0; i < 4; ++i) {
            if (!is_ascii_letter(type[i])) return false;
        }
        if (type[2] >= 'a') return false;  // reserved bit set
        const std::uint32_t crc = static_cast<std::uint32_t>(libdeflate_crc32(0, type, length + 4u));
        if (crc != read_be32(body + length)) return false;
        const std::uint32_t name = read_be32(type);
        const bool critical = type[0] < 'a';

        if (!have_header) {
            if (name != kIHDR || length != 13) return false;
            const std::uint32_t w = read_be32(body);
            const std::uint32_t h = read_be32(body + 4);
            const std::uint8_t depth = body[8], colour = body[9];
            const std::uint8_t compression = body[10], filter = body[11], interlace = body[12];
            if (w == 0 || h == 0 || w > kLibpngMaxSide || h > kLibpngMaxSide) return false;
            if (depth != 8 || (colour != 6 && colour != 4)) return false;
            if (compression != 0 || filter != 0 || interlace != 0) return false;
            layout.width = static_cast<int>(w);
            layout.height = static_cast<int>(h);
            layout.bytes_per_pixel = colour == 6 ? 4 : 2;
            // libpng allows an IDAT chunk its default chunk limit or the
            // image's size plus zlib's overhead, whichever is larger.
            max_idat_chunk = std::max<std::uint64_t>(
                kLibpngMaxChunk,
                (std::uint64_t{w} * static_cast<std::uint64_t>(layout.bytes_per_pixel) + 1) * h);
            have_header = true;
        } else if (name == kIDAT) {
            if (idat_done || length > max_idat_chunk) return false;
            in_idat = true;
            if (length > 0) {
                idat.push_back({body, length});
                idat_bytes += length;
            }
        } else {
            if (in_idat) {
                in_idat = false;
                idat_done = true;
            }
            if (name == kIEND) {
                if (length != 0 || !idat_done) return false;
                break;
            }
            // PLTE, a second IHDR or an unknown critical chunk; chunks that
            // would make libpng decode differently, or refuse the file.
            if (critical || name == kTRNS || name == kACTL || name == kFCTL || name == kFDAT) {
                return false;
            }
            if (length > kLibpngMaxChunk) return false;
        }
        pos += 12 + std::size_t{length};
    }
    if (idat_bytes == 0) return false;
    if (idat.size() == 1) {
        layout.stream = idat[0].data;
        layout.stream_size = idat[0].size;
    } else {
        layout.joined.resize(idat_bytes);
        std::size_t at = 0;
        for (const Span& s : idat) {
            std::memcpy(layout.joined.data() + at, s.data, s.size);
            at += s.size;
        }
        layout.stream = layout.joined.data();
        layout.stream_size = idat_bytes;
    }
    // zlib header: deflate with a 32 KiB window. zlib (libpng's inflater)
    // refuses back references beyond the window the header declares, which
    // libdeflate does not check; with the largest window no reference can go
    // beyond it.
    return layout.stream_size >= 2 && (layout.stream[0] & 0x0f) == 8 && (layout.stream[0] >> 4) == 7;
}

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// PNG's Paeth predictor of a byte from its left (a), upper (b) and upper-left
// (c) neighbours.
inline std::uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
    return static_cast<std::uint8_t>(pb <= pc ? b : c);
}

// Undoes a row's filter on the alpha bytes alone. Every PNG filter predicts a
// byte from the bytes of the same channel (one pixel to the left, the row
// above), so the alpha channel unfilters independently of the others.
// `filter` is 0 to 4; the caller refuses the rest, as libpng does.
void unfilter_alpha(std::uint8_t filter, const std::uint8_t* prev, std::uint8_t* cur, int w) {
    switch (filter) {
        case 1:
            for (int x = 1; x < w; ++x) cur[x] = static_cast<std::uint8_t>(cur[x] + cur[x - 1]);
            break;
        case 2: {
            int x = 0;
#if defined(__SSE2__)
            for (; x + 16 <= w; x += 16) {
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + x));
                const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + x));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + x), _mm_add_epi8(c, p));
            }
#endif
            for (; x < w; ++x) cur[x] = static_cast<std::uint8_t>(cur[x] + prev[x]);
            break;
        }
        case 3:
            cur[0] = static_cast<std::uint8_t>(cur[0] + (prev[0] >> 1));
            for (int x = 1; x < w; ++x) {
                cur[x] = static_cast<std::uint8_t>(cur[x] + ((cur[x - 1] + prev[x]) >> 1));
            }
            break;
        case 4:
            cur[0] = static_cast<std::uint8_t>(cur[0] + prev[0]);  // a = c = 0 predicts b
            for (int x = 1; x < w; ++x) {
                cur[x] = static_cast<std::uint8_t>(cur[x] + paeth(cur[x - 1], prev[x], prev[x - 1]));
            }
            break;
        default:  // 0: none
            break;
    }
}

}  // namespace

bool png_alpha_fast_path_available() { return true; }

bool decode_png_alpha_mask(const std::uint8_t* data, std::size_t size, int margin,
                           cv::Mat& mask) {
    if (data == nullptr || opencv_limits_overridden()) return false;
    PngLayout layout;
    if (!read_layout(data, size, layout)) return false;
    const int w = layout.width;
    const int h = layout.height;
    if (static_cast<long long>(w) * h > kMaxImagePixels || !bordered_size_fits(w, h, margin)) {
        return false;  // the loader's own errors come from its general path
    }

    // Each row is a filter-type byte followed by the row's pixel bytes.
    const std::size_t stride = std::size_t{1} + static_cast<std::size_t>(w) * layout.bytes_per_pixel;
    const std::size_t expected = stride * static_cast<std::size_t>(h);
    // Not zero-filled: inflating writes every byte before it is read.
    std::unique_ptr<std::uint8_t[]> rows(new std::uint8_t[expected]);
    {
        std::unique_ptr<libdeflate_decompressor, DecompressorFree> inflater(
            libdeflate_alloc_decompressor());
        if (!inflater) throw std::bad_alloc();
        std::size_t used_in = 0, produced = 0;
        const libdeflate_result r =
            libdeflate_zlib_decompress_ex(inflater.get(), layout.stream, layout.stream_size,
                                          rows.get(), expected, &used_in, &produced);
        // Anything short, long or followed by more data is left to libpng.
        if (r != LIBDEFLATE_SUCCESS || produced != expected || used_in != layout.stream_size) {
            return false;
        }
    }
    layout.joined = std::vector<std::uint8_t>();

    // Filter bytes are checked before the mask is touched.
    for (int y = 0; y < h; ++y) {
        if (rows[static_cast<std::size_t>(y) * stride] > 4) return false;
    }
    const int m = std::max(margin, 0);
    cv::Mat out = make_bordered_mask(w, h, margin, CV_8UC1);
    std::vector<std::uint8_t> prev(static_cast<std::size_t>(w), 0);
    std::vector<std::uint8_t> cur(static_cast<std::size_t>(w));
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = rows.get() + static_cast<std::size_t>(y) * stride;
        gather_alpha(row + 1, layout.bytes_per_pixel, w, cur.data());
        unfilter_alpha(row[0], prev.data(), cur.data(), w);
        threshold_alpha(cur.data(), out.ptr<std::uint8_t>(y + m) + m, w);
        cur.swap(prev);
    }
    mask = out;
    return true;
}

#endif  // VELLUMCUT_HAVE_LIBDEFLATE

}  // namespace vellumcut
