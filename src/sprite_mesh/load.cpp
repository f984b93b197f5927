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

#include "image_header.hpp"
#include "outline.hpp"
#include "png_alpha.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut {
namespace sprite {
namespace {

constexpr std::size_t kHeaderPrefix = std::size_t{1} << 20;
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

const std::string kTooBig = "image is too large: more than " + std::to_string(kMaxImagePixels) +
                            " pixels (4096 x 4096)";

[[noreturn]] void unreadable(const std::string& path, const std::string& why) {
    throw std::runtime_error("cannot read image '" + path + "': " + why);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) unreadable(path, std::strerror(errno));
    struct stat st;
    if (fstat(fileno(file.get()), &st) != 0) unreadable(path, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) unreadable(path, "it is a directory");
    std::vector<std::uint8_t> bytes;
    std::size_t want = S_ISREG(st.st_mode) && st.st_size > 0
                           ? static_cast<std::size_t>(st.st_size) + 1
                           : kHeaderPrefix;
    for (;;) {
        const std::size_t have = bytes.size();
        want = std::min(want, kMaxFileBytes + 1 - have);
        bytes.resize(have + want);
        const std::size_t got = std::fread(bytes.data() + have, 1, want, file.get());
        bytes.resize(have + got);
        if (bytes.size() > kMaxFileBytes) throw std::runtime_error(kTooBig);
        if (got < want) break;
        want = kHeaderPrefix;
    }
    if (std::ferror(file.get())) unreadable(path, "read error");
    return bytes;
}

// Alpha of a decoded image compared with the threshold on the 8-bit scale.
Opaque threshold_image(const cv::Mat& image, int thr) {
    const int ch = image.channels();
    Opaque out(image.rows, image.cols, CV_8UC1);
    if (ch < 4 && ch != 2) {
        out.setTo(1);
        return out;
    }
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
    out &= 1;
    return out;
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
    Opaque out(rows, cols, CV_8UC1);
    if (channels == 3) {
        out.setTo(1);
        return out;
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
    return out;
}

Opaque load_opaque(const std::string& path, int alpha_threshold) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
    std::vector<std::uint8_t> bytes = read_file(path);
    const HeaderCheck check =
        check_image_header(bytes.data(), bytes.size(), true, static_cast<std::uint64_t>(kMaxImagePixels));
    if (check.verdict == HeaderVerdict::too_big) throw std::runtime_error(kTooBig);
    if (check.verdict != HeaderVerdict::decodable) {
        // The header inspector sizes every format that can carry alpha; the
        // rest (JPEG, PNM, ...) would reach a decoder without a size check.
        if (check.format == ImageFormat::unknown) unreadable(path, "not an image file OpenCV can decode");
        unreadable(path, "unsupported or malformed image file (use PNG, WebP, TIFF or BMP)");
    }
    if (alpha_threshold == 0 && check.format == ImageFormat::png) {
        cv::Mat mask;
        if (decode_png_alpha_mask(bytes.data(), bytes.size(), 0, mask)) {
            mask &= 1;
            return mask;
        }
    }
    cv::Mat image;
    if (check.format == ImageFormat::exr) {
        bytes.clear();
        image = cv::imread(path, cv::IMREAD_UNCHANGED);
    } else {
        const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data());
        image = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
    }
    if (image.empty()) unreadable(path, "the file is damaged or truncated");
    if (static_cast<long long>(image.rows) * image.cols > kMaxImagePixels) throw std::runtime_error(kTooBig);
    return threshold_image(image, alpha_threshold);
}

}  // namespace sprite
}  // namespace vellumcut
