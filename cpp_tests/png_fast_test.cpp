// The PNG fast path of the mask loader against OpenCV's own decoding.
//
// The PNGs are written here byte by byte, so that every filter type, chunk
// layout and malformation can be chosen; OpenCV decodes each one as the
// loader's general path would, and whatever the fast path takes must come out
// pixel for pixel the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/png_fast.hpp"

#ifdef VELLUMCUT_HAVE_LIBDEFLATE
#include <libdeflate.h>

using vellumcut::decode_png_alpha_mask;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_be32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_chunk(Bytes& out, const std::string& type, const Bytes& body) {
    put_be32(out, static_cast<std::uint32_t>(body.size()));
    const std::size_t crc_from = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, static_cast<std::uint32_t>(
                      libdeflate_crc32(0, out.data() + crc_from, out.size() - crc_from)));
}

Bytes zlib_compress(const Bytes& raw, int level = 6) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_zlib_compress_bound(c, raw.size()));
    out.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

// Pixels are RGBA (CV_8UC4) or grey + alpha (CV_8UC2), in file byte order.
struct PngRecipe {
    cv::Mat pixels;
    std::vector<int> filters;  // per row, cycled; a value above 4 is written as is
    std::size_t idat_piece = 0;        // 0: one IDAT chunk
    bool empty_idat_between = false;   // zero-length IDAT chunks between pieces
    std::vector<std::pair<std::string, Bytes>> before_idat, after_idat;
    int depth = 8;
    int colour = -1;  // -1: from the pixels
    int interlace = 0;
    int level = 6;
};

// The filtered scanlines: each row is its filter byte and the row's bytes
// minus the filter's prediction.
Bytes filtered_rows(const PngRecipe& recipe) {
    const cv::Mat& px = recipe.pixels;
    const int bpp = px.channels();
    const std::size_t row_bytes = static_cast<std::size_t>(px.cols) * bpp;
    Bytes out;
    Bytes zero(row_bytes, 0);
    for (int y = 0; y < px.rows; ++y) {
        const std::uint8_t* cur = px.ptr<std::uint8_t>(y);
        const std::uint8_t* up = y > 0 ? px.ptr<std::uint8_t>(y - 1) : zero.data();
        const int f = recipe.filters[static_cast<std::size_t>(y) % recipe.filters.size()];
        out.push_back(static_cast<std::uint8_t>(f));
        for (std::size_t i = 0; i < row_bytes; ++i) {
            const int a = i >= static_cast<std::size_t>(bpp) ? cur[i - bpp] : 0;
            const int b = up[i];
            const int c = i >= static_cast<std::size_t>(bpp) ? up[i - bpp] : 0;
            int pred = 0;
            switch (f) {
                case 1: pred = a; break;
                case 2: pred = b; break;
                case 3: pred = (a + b) / 2; break;
                case 4: {
                    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b),
                              pc = std::abs(p - c);
                    pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                    break;
                }
                default: break;
            }
            out.push_back(static_cast<std::uint8_t>(cur[i] - pred));
        }
    }
    return out;
}

Bytes png_file(const PngRecipe& recipe, const Bytes& stream) {
    const cv::Mat& px = recipe.pixels;
    Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr;
    put_be32(ihdr, static_cast<std::uint32_t>(px.cols));
    put_be32(ihdr, static_cast<std::uint32_t>(px.rows));
    const int colour = recipe.colour >= 0 ? recipe.colour : (px.channels() == 4 ? 6 : 4);
    ihdr.insert(ihdr.end(), {static_cast<std::uint8_t>(recipe.depth), static_cast<std::uint8_t>(colour),
                             0, 0, static_cast<std::uint8_t>(recipe.interlace)});
    put_chunk(out, "IHDR", ihdr);
    for (const auto& [type, body] : recipe.before_idat) put_chunk(out, type, body);
    const std::size_t piece = recipe.idat_piece > 0 ? recipe.idat_piece : stream.size();
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        if (at > 0 && recipe.empty_idat_between) put_chunk(out, "IDAT", {});
        const std::size_t n = std::min(piece, stream.size() - at);
        put_chunk(out, "IDAT", Bytes(stream.begin() + at, stream.begin() + at + n));
    }
    for (const auto& [type, body] : recipe.after_idat) put_chunk(out, type, body);
    put_chunk(out, "IEND", {});
    return out;
}

Bytes png_file(const PngRecipe& recipe) { return png_file(recipe, zlib_compress(filtered_rows(recipe), recipe.level)); }

// The loader's general path: OpenCV decodes, the alpha channel is bordered and
// thresholded. Empty when OpenCV does not give a 4-channel image.
cv::Mat opencv_mask(const Bytes& file, int margin) {
    const cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(file.size()), CV_8UC1,
                                               const_cast<std::uint8_t*>(file.data())),
                                       cv::IMREAD_UNCHANGED);
    if (image.empty() || image.channels() != 4) return cv::Mat();
    cv::Mat alpha, mask;
    cv::extractChannel(image, alpha, 3);
    if (margin > 0) {
        cv::copyMakeBorder(alpha, alpha, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                           cv::Scalar(0));
    }
    cv::threshold(alpha, mask, 0.0, 255.0, cv::THRESH_BINARY);
    return mask;
}

void expect_same_mask(const cv::Mat& got, const cv::Mat& want) {
    ASSERT_FALSE(want.empty()) << "OpenCV did not decode the file";
    ASSERT_EQ(got.type(), CV_8UC1);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(cv::countNonZero(got != want), 0);
}

// Alpha with long transparent and opaque runs, values 1 and 255, and noise,
// so that every filter predicts from a mix of zero and non-zero neighbours.
cv::Mat sprite_pixels(int w, int h, int channels, std::mt19937& rng) {
    cv::Mat px(h, w, CV_8UC(channels));
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 9);
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = px.ptr<std::uint8_t>(y);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c + 1 < channels; ++c) row[x * channels + c] = static_cast<std::uint8_t>(byte(rng));
            const int kind = pick(rng);
            const bool inside = (x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2) < w * h / 6;
            std::uint8_t a = inside ? 255 : 0;
            if (kind == 0) a = 1;
            if (kind == 1) a = static_cast<std::uint8_t>(byte(rng));
            row[x * channels + channels - 1] = a;
        }
    }
    return px;
}

struct FilterCase {
    std::vector<int> filters;
    int channels;
    int width;
    int margin;
};

class PngAlphaFilters : public ::testing::TestWithParam<FilterCase> {};

TEST_P(PngAlphaFilters, MatchOpenCV) {
    const FilterCase& p = GetParam();
    std::mt19937 rng(static_cast<unsigned>(p.width * 31 + p.channels));
    PngRecipe recipe;
    recipe.pixels = sprite_pixels(p.width, 23, p.channels, rng);
    recipe.filters = p.filters;
    const Bytes file = png_file(recipe);
    cv::Mat mask;
    ASSERT_TRUE(decode_png_alpha_mask(file.data(), file.size(), p.margin, mask));
    expect_same_mask(mask, opencv_mask(file, p.margin));
}

std::vector<FilterCase> filter_cases() {
    std::vector<FilterCase> cases;
    const std::vector<std::vector<int>> filter_sets = {{0}, {1}, {2}, {3}, {4}, {4, 3, 2, 1, 0, 2}};
    for (const auto& f : filter_sets) {
        for (int channels : {4, 2}) {
            for (int width : {1, 15, 16, 17, 50}) {
                cases.push_back({f, channels, width, width % 2 == 0 ? 3 : -1});
            }
        }
    }
    return cases;
}

std::string filter_case_name(const ::testing::TestParamInfo<FilterCase>& info) {
    std::string name = "filters";
    for (int f : info.param.filters) name += std::to_string(f);
    name += info.param.channels == 4 ? "_rgba_w" : "_greyalpha_w";
    return name + std::to_string(info.param.width) + (info.param.margin > 0 ? "_margin" : "");
}

INSTANTIATE_TEST_SUITE_P(EveryFilterAndWidth, PngAlphaFilters, ::testing::ValuesIn(filter_cases()),
                         filter_case_name);

// Layouts that libpng reads without complaint are taken, and decode the same.
TEST(PngAlpha, TakesSplitStreamsAndAncillaryChunks) {
    std::mt19937 rng(7);
    const Bytes text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'};
    const Bytes gamma = {0, 0, 0xb1, 0x8f};
    for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        PngRecipe recipe;
        recipe.pixels = sprite_pixels(40, 30, 4, rng);
        recipe.filters = {0, 1, 2, 3, 4};
        recipe.idat_piece = piece;
        recipe.empty_idat_between = piece == 7;
        recipe.before_idat = {{"gAMA", gamma}, {"tEXt", text}};
        recipe.after_idat = {{"tEXt", text}};
        const Bytes file = png_file(recipe);
        cv::Mat mask;
        ASSERT_TRUE(decode_png_alpha_mask(file.data(), file.size(), 2, mask)) << "piece " << piece;
        expect_same_mask(mask, opencv_mask(file, 2));
    }
}

// A file that differs from `good` at byte `at`, with that chunk's CRC redone
// so that only the chunk's content is wrong.
Bytes with_byte(const Bytes& good, std::size_t at, std::uint8_t value) {
    Bytes f = good;
    f[at] = value;
    std::size_t pos = 8;
    while (pos + 12 <= f.size()) {
        const std::size_t len = (std::size_t{f[pos]} << 24) | (std::size_t{f[pos + 1]} << 16) |
                                (std::size_t{f[pos + 2]} << 8) | f[pos + 3];
        if (at >= pos + 4 && at < pos + 8 + len) {
            const std::uint32_t crc =
                static_cast<std::uint32_t>(libdeflate_crc32(0, f.data() + pos + 4, len + 4));
            for (int i = 0; i < 4; ++i) f[pos + 8 + len + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
            break;
        }
        pos += 12 + len;
    }
    return f;
}

PngRecipe small_recipe() {
    std::mt19937 rng(3);
    PngRecipe recipe;
    recipe.pixels = sprite_pixels(20, 12, 4, rng);
    recipe.filters = {1, 4};
    return recipe;
}

// Files the fast path leaves to OpenCV, one per reason.
TEST(PngAlpha, LeavesOtherFilesToOpenCV) {
    const PngRecipe base = small_recipe();
    const Bytes good = png_file(base);
    const Bytes raw = filtered_rows(base);
    const Bytes stream = zlib_compress(raw);
    std::vector<std::pair<std::string, Bytes>> files;

    files.push_back({"not a PNG", Bytes{'B', 'M', 0, 0}});
    files.push_back({"truncated before IEND", Bytes(good.begin(), good.end() - 12)});
    Bytes bad_crc = good;
    bad_crc[good.size() - 20] ^= 1;  // inside the IDAT data, CRC not redone
    files.push_back({"wrong CRC", bad_crc});
    {
        PngRecipe s = base;
        s.interlace = 1;  // the rows are not Adam7 passes, but the header decides
        files.push_back({"interlaced", png_file(s)});
        s = base;
        s.depth = 16;
        files.push_back({"16-bit", png_file(s)});
        s = base;
        s.colour = 2;
        files.push_back({"RGB colour type", png_file(s)});
    }
    for (const char* type : {"tRNS", "PLTE", "acTL", "fcTL", "ABCD"}) {
        PngRecipe s = base;
        s.before_idat = {{type, Bytes(6, 0)}};
        files.push_back({type, png_file(s)});
    }
    {
        // A tEXt chunk between two IDAT chunks: the IDATs are not one run.
        Bytes f(good.begin(), good.begin() + 33);  // signature and IHDR
        put_chunk(f, "IDAT", Bytes(stream.begin(), stream.begin() + 10));
        put_chunk(f, "tEXt", Bytes{'a', 0, 'b'});
        put_chunk(f, "IDAT", Bytes(stream.begin() + 10, stream.end()));
        put_chunk(f, "IEND", {});
        files.push_back({"IDAT run interrupted", f});
    }
    {
        const std::size_t row = 1 + 4 * static_cast<std::size_t>(base.pixels.cols);
        Bytes more_rows = raw;
        more_rows.insert(more_rows.end(), raw.begin(), raw.begin() + row);
        files.push_back({"too much image data", png_file(base, zlib_compress(more_rows))});
        const Bytes fewer(raw.begin(), raw.end() - 5);
        files.push_back({"too little image data", png_file(base, zlib_compress(fewer))});
        Bytes trailing = stream;
        trailing.push_back(0);
        files.push_back({"data after the zlib stream", png_file(base, trailing)});
        Bytes small_window = stream;
        small_window[0] = 0x68;  // CINFO 6 (16 KiB window); 0x6881 % 31 == 0
        small_window[1] = 0x81;
        files.push_back({"window below 32 KiB", png_file(base, small_window)});
        Bytes bad_filter = raw;
        bad_filter[raw.size() / 2 / row * row] = 5;  // a row's filter byte
        files.push_back({"filter type 5", png_file(base, zlib_compress(bad_filter))});
    }

    for (const auto& [why, file] : files) {
        cv::Mat mask(2, 2, CV_8UC1, cv::Scalar(7));
        EXPECT_FALSE(decode_png_alpha_mask(file.data(), file.size(), 0, mask)) << why;
        EXPECT_EQ(mask.rows, 2) << why << ": mask changed";
        EXPECT_EQ(mask.at<std::uint8_t>(0, 0), 7) << why << ": mask changed";
    }
    cv::Mat mask;
    EXPECT_TRUE(decode_png_alpha_mask(good.data(), good.size(), 0, mask));
}

TEST(PngAlpha, LeavesLimitsToTheLoader) {
    const Bytes good = png_file(small_recipe());
    cv::Mat mask;
    // A border the loader refuses.
    EXPECT_FALSE(decode_png_alpha_mask(good.data(), good.size(), 1 << 20, mask));
    // OpenCV's limits lowered through its environment variables.
    ASSERT_EQ(setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "100", 1), 0);
    EXPECT_FALSE(decode_png_alpha_mask(good.data(), good.size(), 0, mask));
    unsetenv("OPENCV_IO_MAX_IMAGE_PIXELS");
    EXPECT_TRUE(decode_png_alpha_mask(good.data(), good.size(), 0, mask));
}

// Random single-byte changes, either to the filtered rows before they are
// compressed (filter types and pixel bytes, the stream itself stays valid) or
// anywhere in the file with the chunk's CRC redone: whatever the fast path
// takes, OpenCV decodes to the same mask.
TEST(PngAlpha, TakesOnlyWhatOpenCVDecodesTheSame) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> value(0, 255);
    int taken = 0, refused = 0;
    for (int trial = 0; trial < 600; ++trial) {
        PngRecipe recipe;
        recipe.pixels = sprite_pixels(9 + trial % 23, 5 + trial % 7, trial % 3 == 0 ? 2 : 4, rng);
        recipe.filters = {trial % 5, (trial / 5) % 5};
        recipe.idat_piece = trial % 4 == 0 ? 5 : 0;
        recipe.level = trial % 8 < 4 ? 0 : 9;  // level 0: stored blocks
        Bytes file;
        if (trial % 2 == 0) {
            Bytes raw = filtered_rows(recipe);
            raw[std::uniform_int_distribution<std::size_t>(0, raw.size() - 1)(rng)] =
                static_cast<std::uint8_t>(value(rng));
            file = png_file(recipe, zlib_compress(raw, recipe.level));
        } else {
            const Bytes good = png_file(recipe);
            const std::size_t at = std::uniform_int_distribution<std::size_t>(8, good.size() - 1)(rng);
            file = with_byte(good, at, static_cast<std::uint8_t>(value(rng)));
        }
        cv::Mat mask;
        if (decode_png_alpha_mask(file.data(), file.size(), 1, mask)) {
            ++taken;
            expect_same_mask(mask, opencv_mask(file, 1));
        } else {
            ++refused;
        }
    }
    // Both outcomes must have happened for the comparison to mean anything.
    EXPECT_GT(taken, 200);
    EXPECT_GT(refused, 100);
}

}  // namespace

#else

TEST(PngAlpha, BuiltWithoutLibdeflate) {
    EXPECT_FALSE(vellumcut::png_alpha_fast_path_available());
    GTEST_SKIP() << "built without libdeflate: PNGs decode through OpenCV only";
}

#endif
