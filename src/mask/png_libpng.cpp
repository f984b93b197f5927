#include "mask/png_libpng.hpp"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <png.h>

#include <opencv2/imgcodecs.hpp>

#include "mask/quiet_streams.hpp"

namespace vellumcut {

namespace {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

// Past the end of the bytes: an error, as in OpenCV's buffer reader.
void read_bytes(png_structp png, png_bytep dst, png_size_t n) {
    Reader* r = static_cast<Reader*>(png_get_io_ptr(png));
    if (n > r->size - r->pos) png_error(png, "PNG input buffer is incomplete");
    std::memcpy(dst, r->data + r->pos, n);
    r->pos += n;
}

// libpng calls its default handler, which prints, when ours returns; so the
// error handler leaves by the jump the decoder set up.
[[noreturn]] void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}

bool opencv_limits_overridden() {
    return std::getenv("OPENCV_IO_MAX_IMAGE_WIDTH") != nullptr ||
           std::getenv("OPENCV_IO_MAX_IMAGE_HEIGHT") != nullptr ||
           std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS") != nullptr;
}

// Owns the read and info structures.
struct PngHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop end = nullptr;
    ~PngHandles() {
        if (png != nullptr) png_destroy_read_struct(&png, &info, &end);
    }
};

// The OpenCV type of the decoded image, from the header as OpenCV's PNG
// decoder derives it; -1 where it refuses the header.
int opencv_type(png_structp png, png_infop info, int bit_depth, int color_type) {
    if (bit_depth > 8 && bit_depth != 16) return -1;
    int type = CV_8UC1;
    switch (color_type) {
        case PNG_COLOR_TYPE_RGB:
        case PNG_COLOR_TYPE_PALETTE: {
            png_bytep trans = nullptr;
            int num_trans = 0;
            png_color_16p trans_values = nullptr;
            png_get_tRNS(png, info, &trans, &num_trans, &trans_values);
            type = num_trans > 0 ? CV_8UC4 : CV_8UC3;
            break;
        }
        case PNG_COLOR_TYPE_GRAY_ALPHA:
        case PNG_COLOR_TYPE_RGB_ALPHA:
            type = CV_8UC4;
            break;
        default:
            break;
    }
    if (bit_depth == 16) type = CV_MAKETYPE(CV_16U, CV_MAT_CN(type));
    return type;
}

// The header step and the pixel step with one jump buffer each; every object
// with a destructor lives in the caller, so a jump skips none.
bool read_header(PngHandles& h, Reader& reader, int& type, int& color_type, int& bit_depth,
                 png_uint_32& width, png_uint_32& height) {
    if (setjmp(png_jmpbuf(h.png)) != 0) return false;
    png_set_read_fn(h.png, &reader, read_bytes);
    png_read_info(h.png, h.info);
    png_get_IHDR(h.png, h.info, &width, &height, &bit_depth, &color_type, nullptr, nullptr,
                 nullptr);
    type = opencv_type(h.png, h.info, bit_depth, color_type);
    return type >= 0;
}

bool read_pixels(PngHandles& h, cv::Mat& image, png_bytep* rows, int color_type, int bit_depth) {
    if (setjmp(png_jmpbuf(h.png)) != 0) return false;
    // The transformations OpenCV asks for, in its order, for a 4-channel
    // image read unchanged.
    png_set_swap(h.png);  // 16-bit samples little-endian, as on x86 (no-op for 8 bits)
    png_set_tRNS_to_alpha(h.png);
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(h.png);
    if ((color_type & PNG_COLOR_MASK_COLOR) == 0 && bit_depth < 8) {
        png_set_expand_gray_1_2_4_to_8(h.png);
    }
    if (color_type & PNG_COLOR_MASK_COLOR) {
        png_set_bgr(h.png);
    } else {
        png_set_gray_to_rgb(h.png);
    }
    png_set_interlace_handling(h.png);
    png_read_update_info(h.png, h.info);
    for (int y = 0; y < image.rows; ++y) rows[y] = image.ptr<png_byte>(y);
    png_read_image(h.png, rows);
    png_read_end(h.png, h.end);
    return true;
}

}  // namespace

cv::Mat decode_png_like_opencv(const std::uint8_t* data, std::size_t size) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit samples assume little endian");
    if (opencv_limits_overridden()) {
        const QuietStreams quiet;
        const cv::Mat raw(1, static_cast<int>(size), CV_8UC1, const_cast<std::uint8_t*>(data));
        return cv::imdecode(raw, cv::IMREAD_UNCHANGED);
    }
    PngHandles h;
    h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    if (h.png == nullptr) return cv::Mat();
    h.info = png_create_info_struct(h.png);
    h.end = png_create_info_struct(h.png);
    if (h.info == nullptr || h.end == nullptr) return cv::Mat();

    Reader reader{data, size, 0};
    int type = -1, color_type = 0, bit_depth = 0;
    png_uint_32 width = 0, height = 0;
    if (!read_header(h, reader, type, color_type, bit_depth, width, height)) return cv::Mat();
    if (width == 0 || height == 0) return cv::Mat();
    if (CV_MAT_CN(type) < 4) return cv::Mat(1, 1, type, cv::Scalar::all(0));

    cv::Mat image(static_cast<int>(height), static_cast<int>(width), type);
    std::vector<png_bytep> rows(height);
    if (!read_pixels(h, image, rows.data(), color_type, bit_depth)) return cv::Mat();
    return image;
}

}  // namespace vellumcut
