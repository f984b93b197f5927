// Image input of the sprite mesher: files (with the core's header checks and
// size limits) and in-memory samples, thresholded to a 0/1 opaque mask.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/header.hpp"
#include "mask/limits.hpp"
#include "mask/loader.hpp"
#include "mask/png_fast.hpp"
#include "mask/refusal.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {
namespace {

// The English text of a refusal, for C++ callers and as the Python
// exception's text; the command line explains the kind and numbers instead.
std::string reason(const Refusal& r) {
    const std::string fmt = format_name(r.format);
    switch (r.kind) {
        case RefusalKind::cannot_open: return std::strerror(r.error_number);
        case RefusalKind::directory: return "it is a directory";
        case RefusalKind::not_regular_file: return "it is not a regular file (a pipe, device or socket)";
        case RefusalKind::empty_file: return "the file is empty";
        case RefusalKind::not_image: return "not an image file";
        case RefusalKind::unsupported_format:
            return fmt + " files carry no alpha channel and are not read (use PNG, WebP, TIFF or BMP)";
        case RefusalKind::damaged:
            return (fmt.empty() ? std::string("the image") : "the " + fmt + " file") + " is damaged or truncated";
        case RefusalKind::too_large:
            return "image is too large: " +
                   (r.width > 0 ? std::to_string(r.width) + " x " + std::to_string(r.height) + " pixels, " : "") +
                   "more than " + std::to_string(r.limit) + " pixels (4096 x 4096)";
        case RefusalKind::file_too_large:
            return "the file is too large: " + std::to_string(r.bytes) + " bytes, more than " +
                   std::to_string(r.limit) + " (no image within the pixel limit needs that many)";
        case RefusalKind::no_alpha: return "the image has no alpha channel";
    }
    return "not an image file";
}

[[noreturn]] void refuse(const std::string& path, const Refusal& r) {
    throw ImageRefused("cannot read image '" + path + "': " + reason(r), r);
}

[[noreturn]] void too_large(const std::string& path, long long rows, long long cols) {
    Refusal r;
    r.kind = RefusalKind::too_large;
    r.width = static_cast<std::uint64_t>(cols);
    r.height = static_cast<std::uint64_t>(rows);
    r.limit = static_cast<std::uint64_t>(kMaxImagePixels);
    refuse(path, r);
}

// The core's loader opens, reads and checks the file once (it never blocks on
// a FIFO and never reads anything but a regular file); its refusal already
// says why, as data, so only the text is made English here.
MaskSource open_image(const std::string& path) {
    try {
        return inspect(path, 0);
    } catch (const ImageRefused& e) {
        refuse(path, e.refusal());
    }
}

cv::Mat decode_image(const std::string& path, const MaskSource& source) {
    cv::Mat image = decode_pixels(source);
    if (image.empty()) {
        Refusal r;
        r.kind = RefusalKind::damaged;
        r.format = source.format;
        refuse(path, r);
    }
    if (static_cast<long long>(image.rows) * image.cols > kMaxImagePixels) too_large(path, image.rows, image.cols);
    return image;
}

bool has_alpha(const cv::Mat& image) { return image.channels() == 2 || image.channels() >= 4; }

// An all-transparent framed mask for an image of rows x cols, and the view
// of its inside.
cv::Mat framed_mask(int rows, int cols, cv::Mat& inside) {
    cv::Mat out = cv::Mat::zeros(rows + 2, cols + 2, CV_8UC1);
    inside = out(cv::Rect(1, 1, cols, rows));
    return out;
}

// Alpha of a decoded image compared with the threshold on the 8-bit scale.
Opaque threshold_image(const cv::Mat& image, int thr) {
    const int ch = image.channels();
    cv::Mat inside;
    Opaque framed = framed_mask(image.rows, image.cols, inside);
    if (ch < 4 && ch != 2) {
        inside.setTo(1);
        return framed;
    }
    cv::Mat out;
    cv::Mat alpha;
    cv::extractChannel(image, alpha, ch - 1);
    switch (alpha.depth()) {
        case CV_8U: cv::compare(alpha, thr, out, cv::CMP_GT); break;
        case CV_16U: cv::compare(alpha, thr * 257, out, cv::CMP_GT); break;
        case CV_32F:
        case CV_64F: {
            // Floating-point alpha runs 0..1.
            cv::Mat scaled;
            alpha.convertTo(scaled, CV_64F, 255.0);
            cv::compare(scaled, static_cast<double>(thr), out, cv::CMP_GT);
            break;
        }
        default: throw std::runtime_error("unsupported sample type of the alpha channel");
    }
    out.copyTo(inside);
    return framed;
}

}  // namespace

Opaque opaque_from_samples(const void* data, int rows, int cols, std::size_t stride, int channels,
                           int bytes, int alpha_threshold) {
    if (rows < 1 || cols < 1) throw std::invalid_argument("image: the image is empty");
    if (channels != 1 && channels != 3 && channels != 4) {
        throw std::invalid_argument("image: expected 1 (alpha), 3 or 4 channels, got " +
                                    std::to_string(channels));
    }
    if (bytes != 1 && bytes != 2) throw std::invalid_argument("image: expected uint8 or uint16 samples");
    if (static_cast<long long>(rows) * cols > kMaxImagePixels) too_large("(array)", rows, cols);
    cv::Mat out;
    Opaque framed = framed_mask(rows, cols, out);
    if (channels == 3) {
        out.setTo(1);
        return framed;
    }
    const unsigned thr8 = static_cast<unsigned>(alpha_threshold);
    const unsigned thr16 = thr8 * 257u;
    for (int y = 0; y < rows; ++y) {
        const auto* row = static_cast<const std::uint8_t*>(data) + stride * static_cast<std::size_t>(y);
        std::uint8_t* o = out.ptr<std::uint8_t>(y);
        if (bytes == 1) {
            for (int x = 0; x < cols; ++x) o[x] = row[x * channels + channels - 1] > thr8;
        } else {
            for (int x = 0; x < cols; ++x) {
                std::uint16_t a;
                std::memcpy(&a, row + 2 * (x * channels + channels - 1), 2);
                o[x] = a > thr16;
            }
        }
    }
    return framed;
}

Opaque load_opaque(const std::string& path, int alpha_threshold, bool* alpha) {
    const MaskSource source = open_image(path);
    if (alpha != nullptr) *alpha = true;
    if (alpha_threshold == 0 && source.decoder == MaskDecoder::png) {
        cv::Mat mask;
        if (decode_png_alpha_mask(source.bytes.data(), source.bytes.size(), 1, mask)) return mask;
    }
    const cv::Mat image = decode_image(path, source);
    if (!has_alpha(image)) {
        if (alpha != nullptr) *alpha = false;
        // No alpha: opaque everywhere. The PNG decoder reads only the header
        // of such a file, so its size is the declared one.
        const bool declared = source.declared_w > 0 && source.declared_h > 0;
        cv::Mat inside;
        Opaque framed = framed_mask(declared ? source.declared_h : image.rows,
                                    declared ? source.declared_w : image.cols, inside);
        inside.setTo(1);
        return framed;
    }
    return threshold_image(image, alpha_threshold);
}

namespace {

// Decoded samples (OpenCV's channel order and depth) as 8-bit R, G, B, A.
cv::Mat rgba8(const cv::Mat& image) {
    cv::Mat eight;
    switch (image.depth()) {
        case CV_8U: eight = image; break;
        case CV_16U: image.convertTo(eight, CV_8U, 1.0 / 257.0); break;
        case CV_16F: {
            cv::Mat wide;
            image.convertTo(wide, CV_32F);
            wide.convertTo(eight, CV_8U, 255.0);
            break;
        }
        case CV_32F:
        case CV_64F: image.convertTo(eight, CV_8U, 255.0); break;
        default: image.convertTo(eight, CV_8U); break;  // signed integers: saturated
    }
    const int ch = eight.channels();
    std::vector<cv::Mat> planes;
    cv::split(eight, planes);
    const cv::Mat opaque(eight.rows, eight.cols, CV_8UC1, cv::Scalar(255));
    std::vector<cv::Mat> out;
    if (ch <= 2) {
        out = {planes[0], planes[0], planes[0], ch == 2 ? planes[1] : opaque};
    } else {
        out = {planes[2], planes[1], planes[0], ch >= 4 ? planes[static_cast<std::size_t>(ch - 1)] : opaque};
    }
    cv::Mat rgba;
    cv::merge(out, rgba);
    return rgba;
}

}  // namespace

LoadedImage load_image(const std::string& path, int alpha_threshold) {
    const MaskSource source = open_image(path);
    const cv::Mat image = decode_image(path, source);
    LoadedImage out;
    out.alpha = has_alpha(image);
    if (out.alpha) {
        out.framed = threshold_image(image, alpha_threshold);
        out.rgba = rgba8(image);
        return out;
    }
    // No alpha: opaque everywhere, at the declared size where the decoder
    // read only the header (a PNG; its pixels are left undecoded).
    const bool declared = source.declared_w > 0 && source.declared_h > 0;
    cv::Mat inside;
    out.framed = framed_mask(declared ? source.declared_h : image.rows, declared ? source.declared_w : image.cols,
                             inside);
    inside.setTo(1);
    if (source.decoder != MaskDecoder::png) out.rgba = rgba8(image);
    return out;
}

ImageInfo probe_image(const std::string& path) {
    const MaskSource source = open_image(path);
    const cv::Mat image = decode_image(path, source);
    ImageInfo info;
    info.format = source.format;
    const bool declared = !has_alpha(image) && source.declared_w > 0 && source.declared_h > 0;
    info.width = declared ? source.declared_w : image.cols;
    info.height = declared ? source.declared_h : image.rows;
    info.channels = image.channels();
    info.has_alpha = has_alpha(image);
    info.bits = static_cast<int>(8 * image.elemSize1());
    info.floating = image.depth() == CV_32F || image.depth() == CV_64F || image.depth() == CV_16F;
    return info;
}

}  // namespace sprite
}  // namespace vellumcut
