// Image input of the sprite mesher: files (with the core's header checks and
// size limits) and in-memory samples, thresholded to a 0/1 opaque mask.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/header.hpp"
#include "mask/limits.hpp"
#include "mask/loader.hpp"
#include "mask/png_fast.hpp"
#include "messages.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {
namespace {

const std::string kTooBig = "image is too large: more than " + std::to_string(kMaxImagePixels) +
                            " pixels (4096 x 4096)";

[[noreturn]] void unreadable(const std::string& path, const std::string& why) {
    throw std::runtime_error("cannot read image '" + path + "': " + why);
}

// The core's loader opens, reads and checks the file once (it never blocks on
// a FIFO and never reads anything but a regular file) and refuses with the
// core's fixed messages; this says in English why, looking at the path again
// only to explain a refusal that has already happened.
[[noreturn]] void explain_refusal(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) unreadable(path, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) unreadable(path, "it is a directory");
    if (!S_ISREG(st.st_mode)) unreadable(path, "it is not a regular file (a pipe, device or socket)");
    std::uint8_t head[64];
    std::size_t got = 0;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        got = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
    }
    const HeaderCheck check = check_image_header(head, got, got < sizeof head,
                                                 static_cast<std::uint64_t>(kMaxImagePixels));
    if (check.format == ImageFormat::unknown) unreadable(path, "not an image file OpenCV can decode");
    unreadable(path, "unsupported or malformed image file (use PNG, WebP, TIFF or BMP)");
}

MaskSource open_image(const std::string& path) {
    try {
        return inspect(path, 0);
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), messages::kTooBig) == 0) throw std::runtime_error(kTooBig);
        explain_refusal(path);
    }
}

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
    if (static_cast<long long>(rows) * cols > kMaxImagePixels) throw std::runtime_error(kTooBig);
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

Opaque load_opaque(const std::string& path, int alpha_threshold) {
    const MaskSource source = open_image(path);
    if (alpha_threshold == 0 && source.decoder == MaskDecoder::png) {
        cv::Mat mask;
        if (decode_png_alpha_mask(source.bytes.data(), source.bytes.size(), 1, mask)) return mask;
    }
    const cv::Mat image = decode_pixels(source);
    if (image.empty()) unreadable(path, "the file is damaged or truncated");
    if (static_cast<long long>(image.rows) * image.cols > kMaxImagePixels) throw std::runtime_error(kTooBig);
    if (image.channels() != 2 && image.channels() < 4) {
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

}  // namespace sprite
}  // namespace vellumcut
