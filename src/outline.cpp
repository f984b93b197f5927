#include "outline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image_header.hpp"
#include "png_alpha.hpp"


namespace vellumcut {

namespace {

// Distance used by clean_loop: differences in float, the norm in double.
double point_distance(const cv::Point2f& a, const cv::Point2f& b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const double ddx = dx;
    const double ddy = dy;
    return std::sqrt(ddx * ddx + ddy * ddy);
}

constexpr double kDuplicateTolerance = 1e-6;

const char* const kNotRgba = "RGBA PNG を指定してください";
const char* const kTooBig = "画像が大きすぎます";

// The header is looked at after this many bytes; every signature and nearly
// every header fits, so an oversized image is refused before the rest of a
// large file is read.
constexpr std::size_t kHeaderPrefix = std::size_t{1} << 20;
// No image within the pixel limit needs a file this large (4096 x 4096 RGBA
// with 64-bit samples, uncompressed, is 512 MiB); bigger files are refused
// instead of being read into memory.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void refuse(HeaderVerdict verdict) {
    if (verdict == HeaderVerdict::too_big) throw std::runtime_error(kTooBig);
    if (verdict != HeaderVerdict::decodable) throw std::runtime_error(kNotRgba);
}

// Length of the open file when it is a regular file, else 0 (unknown).
std::size_t regular_file_size(std::FILE* file) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return 0;
    return static_cast<std::size_t>(st.st_size);
}

// What reading a file gave: the decoded image (empty when OpenCV cannot decode
// the file), or, for a PNG that the fast path decoded, the finished mask.
struct DecodedFile {
    cv::Mat image;
    cv::Mat mask;
};

// Reads the file, checks what its header declares and only then decodes it:
// a plain 8-bit PNG with alpha straight into the mask, anything else through
// OpenCV.
//
// Decoding from the bytes read (rather than letting OpenCV open the path
// again) means the header checked is the header decoded, and a missing file
// never reaches OpenCV, which would log a warning on stderr for it.
DecodedFile read_rgba_candidate(const std::string& path, int margin,
                                const MaskSizeHint& on_declared_size) {
    // OpenCV and the C library take the path as a C string: everything after
    // a NUL would be silently dropped and another file read.
    if (path.find('\0') != std::string::npos) {
        throw std::invalid_argument("embedded null byte");
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) throw std::runtime_error(kNotRgba);

    // Buffers sized from the file's length where the system reports one, so
    // that a small sprite does not cost a megabyte of zeroed buffer and a
    // large one is read in one go. One byte more than expected is asked for,
    // so that the end of the file is seen; a file that changes size while it
    // is read is still read correctly, only in more steps.
    const std::size_t known = regular_file_size(file.get());
    std::vector<std::uint8_t> bytes(known > 0 ? std::min(known + 1, kHeaderPrefix) : kHeaderPrefix);
    std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    bool complete = got < bytes.size();
    if (complete && std::ferror(file.get())) throw std::runtime_error(kNotRgba);  // a directory
    bytes.resize(got);

    HeaderCheck check = check_image_header(bytes.data(), bytes.size(), complete, kMaxImagePixels);
    if (check.verdict != HeaderVerdict::need_more) refuse(check.verdict);
    if (!complete) {
        while (!complete) {
            const std::size_t have = bytes.size();
            const std::size_t want =
                std::min(known > have ? known - have + 1 : kHeaderPrefix, kMaxFileBytes + 1 - have);
            bytes.resize(have + want);
            got = std::fread(bytes.data() + have, 1, want, file.get());
            bytes.resize(have + got);
            if (bytes.size() > kMaxFileBytes) throw std::runtime_error(kTooBig);
            complete = got < want;
        }
        if (std::ferror(file.get())) throw std::runtime_error(kNotRgba);
        check = check_image_header(bytes.data(), bytes.size(), true, kMaxImagePixels);
        refuse(check.verdict);
    }
    file.reset();

    if (on_declared_size && check.width > 0 && check.height > 0 &&
        check.width * check.height <= static_cast<std::uint64_t>(kMaxImagePixels) &&
        bordered_size_fits(static_cast<int>(check.width), static_cast<int>(check.height), margin)) {
        const int m = std::max(margin, 0);
        on_declared_size(static_cast<int>(check.width) + 2 * m,
                         static_cast<int>(check.height) + 2 * m);
    }

    if (check.format == ImageFormat::exr) {
        // OpenCV's EXR decoder reads only from files; handed bytes, it would
        // write them to a temporary file first. The header checked above is
        // this file's, read a moment ago.
        bytes.clear();
        bytes.shrink_to_fit();
        return {cv::imread(path, cv::IMREAD_UNCHANGED), cv::Mat()};
    }
    DecodedFile decoded;
    if (check.format == ImageFormat::png &&
        decode_png_alpha_mask(bytes.data(), bytes.size(), margin, decoded.mask)) {
        return decoded;
    }
    const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data());
    decoded.image = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
    return decoded;
}

}  // namespace

bool bordered_size_fits(int w, int h, int margin) {
    if (margin <= 0) return true;
    const std::int64_t bordered_w = static_cast<std::int64_t>(w) + 2 * std::int64_t{margin};
    const std::int64_t bordered_h = static_cast<std::int64_t>(h) + 2 * std::int64_t{margin};
    return bordered_w <= kMaxMaskPixels && bordered_h <= kMaxMaskPixels &&
           bordered_w * bordered_h <= kMaxMaskPixels;
}

void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale) {
    load_alpha_mask(path, margin, mask, w, h, scale, MaskSizeHint());
}

void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale, const MaskSizeHint& on_declared_size) {
    DecodedFile decoded = read_rgba_candidate(path, margin, on_declared_size);
    if (!decoded.mask.empty()) {
        // Only files within every size limit below take this path.
        mask = decoded.mask;
        w = mask.cols;
        h = mask.rows;
        scale = 1.0f;
        return;
    }
    cv::Mat image = std::move(decoded.image);
    if (image.empty() || image.channels() < 4) {
        throw std::runtime_error(kNotRgba);
    }
    h = image.rows;
    w = image.cols;
    if (static_cast<std::int64_t>(h) * static_cast<std::int64_t>(w) > kMaxImagePixels) {
        throw std::runtime_error(kTooBig);
    }
    // The border is the caller's to choose, but it must neither overflow the
    // int sizes OpenCV works with nor make a tiny image allocate gigabytes of
    // transparent mask.
    if (!bordered_size_fits(w, h, margin)) {
        throw std::invalid_argument("margin too large: the mask with its border would exceed " +
                                    std::to_string(kMaxMaskPixels) + " pixels");
    }

    // The common case, an 8-bit BGRA image, in one pass: border, alpha channel
    // and threshold together, straight into the mask. Same result as the
    // general path below, without three image-sized intermediates.
    if (image.type() == CV_8UC4) {
        const int m = std::max(margin, 0);
        mask.create(h + 2 * m, w + 2 * m, CV_8UC1);
        for (int y = 0; y < mask.rows; ++y) {
            unsigned char* out = mask.ptr<unsigned char>(y);
            const int src_y = y - m;
            if (src_y < 0 || src_y >= h) {
                std::fill(out, out + mask.cols, static_cast<unsigned char>(0));
                continue;
            }
            std::fill(out, out + m, static_cast<unsigned char>(0));
            std::fill(out + m + w, out + mask.cols, static_cast<unsigned char>(0));
            // The alpha byte is channel 3 of B, G, R, A.
            gather_alpha(image.ptr<unsigned char>(src_y), 4, w, out + m);
            threshold_alpha(out + m, out + m, w);
        }
        w += 2 * m;
        h += 2 * m;
        scale = 1.0f;
        return;
    }

    // OpenCV orders decoded channels B, G, R, A.
    cv::Mat alpha;
    cv::extractChannel(image, alpha, 3);
    image.release();
    if (margin > 0) {
        cv::copyMakeBorder(alpha, alpha, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                           cv::Scalar(0, 0, 0, 0));
        w += 2 * margin;
        h += 2 * margin;
    }
    cv::threshold(alpha, mask, 0.0, 255.0, cv::THRESH_BINARY);
    scale = 1.0f;
}

double signed_area(const Loop& loop) {
    const std::size_t n = loop.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const cv::Point2f& a = loop[i];
        const cv::Point2f& b = loop[(i + 1) % n];
        const float term = a.x * b.y - b.x * a.y;
        sum += static_cast<double>(term);
    }
    return sum * 0.5;
}

Loop clean_loop(Loop loop) {
    Loop kept;
    kept.reserve(loop.size());
    for (const cv::Point2f& p : loop) {
        if (kept.empty() || point_distance(p, kept.back()) >= kDuplicateTolerance) {
            kept.push_back(p);
        }
    }
    if (kept.size() >= 2 && point_distance(kept.front(), kept.back()) < kDuplicateTolerance) {
        kept.pop_back();
    }
    if (kept.size() >= 3) {
        return kept;
    }
    if (kept.empty()) {
        throw std::invalid_argument("clean_loop needs at least one point");
    }

    float min_x = kept[0].x, max_x = kept[0].x;
    float min_y = kept[0].y, max_y = kept[0].y;
    for (const cv::Point2f& p : kept) {
        min_x = std::min(min_x, p.x);
        max_x = std::max(max_x, p.x);
        min_y = std::min(min_y, p.y);
        max_y = std::max(max_y, p.y);
    }
    loop.assign({{min_x - 1.0f, min_y - 1.0f},
                 {max_x + 1.0f, min_y - 1.0f},
                 {max_x + 1.0f, max_y + 1.0f},
                 {min_x - 1.0f, max_y + 1.0f}});
    return loop;
}

IslandsResult islands(const std::string& path, float eps, int margin, Stop& stop) {
    IslandsResult result;
    cv::Mat mask;
    load_alpha_mask(path, margin, mask, result.w, result.h, result.scale);
    stop.poll();

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE, cv::Point(0, 0));
    stop.poll();

    std::vector<cv::Point> approx;
    std::size_t visited = 0;
    for (const std::vector<cv::Point>& contour : contours) {
        if (++visited % 1024 == 0) stop.poll();
        if (cv::contourArea(contour, false) < 3.0) {
            continue;
        }
        cv::approxPolyDP(contour, approx, static_cast<double>(eps), true);
        Loop loop(approx.begin(), approx.end());
        loop = clean_loop(std::move(loop));
        if (signed_area(loop) > 0.0) {
            std::reverse(loop.begin(), loop.end());
        }
        std::vector<float> flat;
        flat.reserve(loop.size() * 2);
        for (const cv::Point2f& p : loop) {
            flat.push_back(p.x);
            flat.push_back(p.y);
        }
        result.loops.push_back(std::move(flat));
    }
    return result;
}

}  // namespace vellumcut
