// The libpng path of the loader against OpenCV's own PNG decoder: for every
// colour type, bit depth, transparency chunk and interlacing, and for
// truncated and damaged files, the same image (type and every sample) or the
// same failure.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <png.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "mask/png_libpng.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Variant {
    const char* name;
    int colour;      // PNG colour type
    int depth;       // bits per sample
    bool trns;       // add a tRNS chunk
    bool interlace;  // Adam7
};

void append(png_structp png, png_bytep data, png_size_t n) {
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void no_flush(png_structp) {}
[[noreturn]] void write_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void write_warning(png_structp, png_const_charp) {}

int channels_of(int colour) {
    switch (colour) {
        case PNG_COLOR_TYPE_GRAY: case PNG_COLOR_TYPE_PALETTE: return 1;
        case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
        case PNG_COLOR_TYPE_RGB: return 3;
        default: return 4;
    }
}

// libpng writes the rows; kept apart so that nothing lives across its jump.
bool encode(const Variant& v, std::vector<Bytes>& rows, int max_value, Bytes& out) {
    const int w = 23, h = 17;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, write_error, write_warning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, append, no_flush);
    png_set_IHDR(png, info, w, h, v.depth, v.colour,
                 v.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_color palette[16];
    png_byte alpha[16];
    for (int i = 0; i < 16; ++i) {
        palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16), 7};
        alpha[i] = static_cast<png_byte>(i % 2 == 0 ? 0 : 40 * (i / 2));
    }
    if (v.colour == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, max_value + 1);
    if (v.trns) {
        png_color_16 key{};
        key.gray = static_cast<png_uint_16>(max_value / 2);
        key.red = key.green = key.blue = static_cast<png_uint_16>(max_value / 3);
        png_set_tRNS(png, info, alpha, v.colour == PNG_COLOR_TYPE_PALETTE ? 8 : 0, &key);
    }
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (Bytes& r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Writes a 23 x 17 image of pseudo-random samples (a palette of 16 entries,
// half of them partly transparent) with libpng itself.
bool write_png(const Variant& v, Bytes& out) {
    const int w = 23, h = 17;
    const int samples = channels_of(v.colour);
    const int max_value = v.colour == PNG_COLOR_TYPE_PALETTE ? (v.depth >= 4 ? 15 : (1 << v.depth) - 1)
                                                       : (1 << v.depth) - 1;
    std::mt19937 rng(static_cast<unsigned>(v.colour * 100 + v.depth));
    const int row_bytes = (w * samples * v.depth + 7) / 8;
    std::vector<Bytes> rows(h, Bytes(static_cast<std::size_t>(row_bytes), 0));
    for (int y = 0; y < h; ++y) {
        for (int i = 0; i < w * samples; ++i) {
            // Alpha samples: zero often enough that the mask has both values.
            int value = static_cast<int>(rng() % static_cast<unsigned>(max_value + 1));
            if ((v.colour & PNG_COLOR_MASK_ALPHA) && i % samples == samples - 1 && rng() % 3 == 0) value = 0;
            if (v.depth == 16) {
                rows[y][2 * i] = static_cast<std::uint8_t>(value >> 8);
                rows[y][2 * i + 1] = static_cast<std::uint8_t>(value);
            } else {
                const int bit = i * v.depth;
                rows[y][bit / 8] |= static_cast<std::uint8_t>(value << (8 - v.depth - bit % 8));
            }
        }
    }
    return encode(v, rows, max_value, out);
}

// Whether the loader refuses what a decoder gave: nothing, or fewer than 4
// channels (for those the libpng path stops after the header).
bool refused(const cv::Mat& image) { return image.empty() || image.channels() < 4; }

// The two decoders agree for the loader: both refused, or images of the same
// type with the same samples.
void expect_same(const Bytes& file, const std::string& what) {
    const cv::Mat ours = vellumcut::decode_png_like_opencv(file.data(), file.size());
    const cv::Mat theirs = cv::imdecode(
        cv::Mat(1, static_cast<int>(file.size()), CV_8UC1, const_cast<std::uint8_t*>(file.data())),
        cv::IMREAD_UNCHANGED);
    ASSERT_EQ(refused(ours), refused(theirs)) << what;
    if (refused(theirs)) return;
    ASSERT_EQ(ours.type(), theirs.type()) << what;
    ASSERT_EQ(ours.size(), theirs.size()) << what;
    EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0) << what;
}

const Variant kVariants[] = {
    {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false},
    {"rgba8_adam7", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, true},
    {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, false},
    {"rgba16_adam7", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, true},
    {"grey_alpha8_adam7", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, true},
    {"grey_alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false},
    {"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, true, false},
    {"palette4_trns_adam7", PNG_COLOR_TYPE_PALETTE, 4, true, true},
    {"palette2_trns", PNG_COLOR_TYPE_PALETTE, 2, true, false},
    {"palette1_trns", PNG_COLOR_TYPE_PALETTE, 1, true, false},
    {"palette8", PNG_COLOR_TYPE_PALETTE, 8, false, false},
    {"rgb8_colour_key", PNG_COLOR_TYPE_RGB, 8, true, false},
    {"rgb16_colour_key_adam7", PNG_COLOR_TYPE_RGB, 16, true, true},
    {"rgb8", PNG_COLOR_TYPE_RGB, 8, false, false},
    {"grey8_key", PNG_COLOR_TYPE_GRAY, 8, true, false},
    {"grey1", PNG_COLOR_TYPE_GRAY, 1, false, false},
    {"grey16", PNG_COLOR_TYPE_GRAY, 16, false, false},
};

class PngLibpngVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(PngLibpngVariants, MatchOpenCVWholeCutAndDamaged) {
    Bytes file;
    ASSERT_TRUE(write_png(GetParam(), file));
    expect_same(file, "whole");
    // Cut anywhere: in the header, inside a chunk, before IEND.
    for (std::size_t cut : {std::size_t{8}, std::size_t{20}, std::size_t{40}, file.size() / 2,
                            file.size() - 20, file.size() - 12, file.size() - 1}) {
        if (cut >= file.size()) continue;
        expect_same(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)),
                    "cut at " + std::to_string(cut));
    }
    // Single damaged bytes: CRCs, chunk lengths, zlib data, the checksum.
    std::mt19937 rng(3);
    for (int trial = 0; trial < 60; ++trial) {
        Bytes damaged = file;
        const std::size_t at = 8 + rng() % (file.size() - 8);
        damaged[at] = static_cast<std::uint8_t>(damaged[at] ^ (1u + rng() % 255));
        expect_same(damaged, "byte " + std::to_string(at));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryColourTypeAndDepth, PngLibpngVariants, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant>& param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
