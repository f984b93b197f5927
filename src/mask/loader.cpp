#include "mask/loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/bordered.hpp"
#include "mask/limits.hpp"
#include "mask/quiet_streams.hpp"
#include "mask/png_fast.hpp"
#include "mask/png_libpng.hpp"
#include "mask/refusal.hpp"
#include "messages.hpp"

namespace vellumcut {

namespace {

// The header is looked at after this many bytes; every signature and nearly
// every header fits, so an oversized image is refused before the rest of a
// large file is read.
constexpr std::size_t kHeaderPrefix = std::size_t{1} << 20;
// No image within the pixel limit needs a file this large (4096 x 4096 RGBA
// with 64-bit samples, uncompressed, is 512 MiB); bigger files are refused
// instead of being read into memory.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

// Every refusal carries its reason as data (refusal.hpp); the text stays the
// core's fixed message.
[[noreturn]] void cannot_read(Refusal why) { throw ImageRefused(messages::kNotRgba, why); }

[[noreturn]] void cannot_open(int error_number) {
    Refusal why;
    why.kind = RefusalKind::cannot_open;
    why.error_number = error_number;
    cannot_read(why);
}

[[noreturn]] void too_big(Refusal why) { throw ImageRefused(messages::kTooBig, why); }

void refuse(const HeaderCheck& check, std::size_t length) {
    if (check.verdict == HeaderVerdict::decodable) return;
    Refusal why;
    why.format = check.format;
    why.width = check.width;
    why.height = check.height;
    why.bytes = length;
    if (check.verdict == HeaderVerdict::too_big) {
        why.kind = RefusalKind::too_large;
        why.limit = static_cast<std::uint64_t>(kMaxImagePixels);
        too_big(why);
    }
    if (length == 0) {
        why.kind = RefusalKind::empty_file;
    } else if (check.format == ImageFormat::unknown) {
        why.kind = RefusalKind::not_image;
    } else if (never_has_alpha(check.format)) {
        why.kind = RefusalKind::unsupported_format;
    } else {
        why.kind = RefusalKind::damaged;
    }
    cannot_read(why);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Opens `path` for reading without ever blocking: O_NONBLOCK keeps open()
// from waiting for the writer of a FIFO, and everything that is not a regular
// file is refused before a byte is read (a FIFO or a device could block or
// never end, a directory has no bytes).
FileDescriptor open_regular_file(const std::string& path, std::size_t& length) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) cannot_open(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) cannot_open(errno);
    if (!S_ISREG(st.st_mode)) {
        Refusal why;
        why.kind = S_ISDIR(st.st_mode) ? RefusalKind::directory : RefusalKind::not_regular_file;
        cannot_read(why);
    }
    // Regular files never block; clear the flag so reads behave plainly.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    length = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    return fd;
}

// Reads up to `want` bytes at `dst`; fewer only at the end of the file.
std::size_t read_up_to(int fd, std::uint8_t* dst, std::size_t want) {
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, dst + got, want - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            cannot_open(errno);
        }
    }
    return got;
}

}  // namespace

namespace {

// The refusals of decode(), from what the decoder gave. A PNG without alpha
// is not decoded (decode_pixels gives 1 x 1): its size is the declared one,
// `declared_w` x `declared_h` (without the border; 0 when not known).
void refuse_decoded(const cv::Mat& image, ImageFormat format, int declared_w, int declared_h) {
    Refusal why;
    why.format = format;
    if (image.empty()) {
        why.kind = RefusalKind::damaged;
        cannot_read(why);
    }
    why.width = static_cast<std::uint64_t>(image.cols);
    why.height = static_cast<std::uint64_t>(image.rows);
    if (image.channels() < 4) {
        why.kind = RefusalKind::no_alpha;
        why.channels = image.channels();
        if (declared_w > 0 && declared_h > 0) {
            why.width = static_cast<std::uint64_t>(declared_w);
            why.height = static_cast<std::uint64_t>(declared_h);
        }
        cannot_read(why);
    }
    if (static_cast<std::int64_t>(image.rows) * image.cols > kMaxImagePixels) {
        why.kind = RefusalKind::too_large;
        why.limit = static_cast<std::uint64_t>(kMaxImagePixels);
        too_big(why);
    }
}

}  // namespace

MaskSource::MaskSource(MaskSource&& other) noexcept { *this = std::move(other); }

MaskSource& MaskSource::operator=(MaskSource&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        decoder = other.decoder;
        format = other.format;
        margin = other.margin;
        declared_w = other.declared_w;
        declared_h = other.declared_h;
        bytes = std::move(other.bytes);
        fd = std::exchange(other.fd, -1);
    }
    return *this;
}

MaskSource::~MaskSource() {
    if (fd >= 0) ::close(fd);
}

MaskSource inspect(const std::string& path, int margin) {
    // open() takes the path as a C string: everything after a NUL would be
    // silently dropped and another file read.
    if (path.find('\0') != std::string::npos) {
        throw std::invalid_argument("embedded null byte");
    }
    std::size_t known = 0;
    FileDescriptor file = open_regular_file(path, known);

    // Buffers sized from the file's length, so that a small sprite does not
    // cost a megabyte of zeroed buffer and a large one is read in one go. One
    // byte more than expected is asked for, so that the end of the file is
    // seen; a file that changes size while it is read is still read
    // correctly, only in more steps.
    MaskSource source;
    source.margin = margin;
    std::vector<std::uint8_t>& bytes = source.bytes;
    bytes.resize(known > 0 ? std::min(known + 1, kHeaderPrefix) : kHeaderPrefix);
    std::size_t got = read_up_to(file.get(), bytes.data(), bytes.size());
    bool complete = got < bytes.size();
    bytes.resize(got);

    HeaderCheck check = check_image_header(bytes.data(), bytes.size(), complete, kMaxImagePixels);
    if (check.verdict != HeaderVerdict::need_more) refuse(check, bytes.size());
    while (!complete) {
        const std::size_t have = bytes.size();
        const std::size_t want =
            std::min(known > have ? known - have + 1 : kHeaderPrefix, kMaxFileBytes + 1 - have);
        bytes.resize(have + want);
        got = read_up_to(file.get(), bytes.data() + have, want);
        bytes.resize(have + got);
        if (bytes.size() > kMaxFileBytes) {
            Refusal why;
            why.kind = RefusalKind::file_too_large;
            why.format = check.format;
            why.bytes = bytes.size();
            why.limit = kMaxFileBytes;
            too_big(why);
        }
        complete = got < want;
        if (complete) {
            check = check_image_header(bytes.data(), bytes.size(), true, kMaxImagePixels);
            refuse(check, bytes.size());
        }
    }

    source.format = check.format;
    if (check.width > 0 && check.height > 0 &&
        check.width * check.height <= static_cast<std::uint64_t>(kMaxImagePixels) &&
        bordered_size_fits(static_cast<int>(check.width), static_cast<int>(check.height), margin)) {
        const int m = std::max(margin, 0);
        source.declared_w = static_cast<int>(check.width) + 2 * m;
        source.declared_h = static_cast<int>(check.height) + 2 * m;
    }
    if (check.format == ImageFormat::png) {
        source.decoder = MaskDecoder::png;
    } else if (check.format == ImageFormat::exr) {
        // OpenCV's EXR decoder reads only from files (handed bytes, it writes
        // them to a temporary file first); it gets this open file through
        // /proc/self/fd, so the header checked is the header decoded even if
        // the path is swapped meanwhile. Without /proc, or with OpenCV's EXR
        // codec switched off (OPENCV_IO_ENABLE_OPENEXR), nothing decodes and
        // the file is refused as unreadable.
        source.decoder = MaskDecoder::exr;
        bytes.clear();
        bytes.shrink_to_fit();
        source.fd = file.release();
    } else {
        source.decoder = MaskDecoder::opencv;
    }
    return source;
}

cv::Mat decode_pixels(const MaskSource& source) {
    if (source.decoder == MaskDecoder::png) {
        return decode_png_like_opencv(source.bytes.data(), source.bytes.size());
    }
    const QuietStreams quiet;
    if (source.decoder == MaskDecoder::exr) {
        return cv::imread("/proc/self/fd/" + std::to_string(source.fd), cv::IMREAD_UNCHANGED);
    }
    const cv::Mat raw(1, static_cast<int>(source.bytes.size()), CV_8UC1,
                      const_cast<std::uint8_t*>(source.bytes.data()));
    return cv::imdecode(raw, cv::IMREAD_UNCHANGED);
}

AlphaMask decode(MaskSource source, Stop& stop) {
    AlphaMask out;
    const int margin = source.margin;
    const ImageFormat format = source.format;
    const int border = std::max(margin, 0);
    const int declared_w = source.declared_w > 0 ? source.declared_w - 2 * border : 0;
    const int declared_h = source.declared_h > 0 ? source.declared_h - 2 * border : 0;
    // Only files within every size limit are taken by the fast path.
    if (source.decoder == MaskDecoder::png &&
        decode_png_alpha_mask(source.bytes.data(), source.bytes.size(), margin, out.mask)) {
        out.w = out.mask.cols;
        out.h = out.mask.rows;
        return out;
    }
    cv::Mat image = decode_pixels(source);
    source = MaskSource();  // the file's bytes are no longer needed
    // Each decoder is one library call (a few tenths of a second at most for
    // the largest image); the stop is asked between it and the border.
    stop.poll();

    refuse_decoded(image, format, declared_w, declared_h);
    if (image.type() == CV_8UC4) {
        out.mask = bordered_mask_from_bgra8(image, margin);
    } else {
        // OpenCV orders decoded channels B, G, R, A.
        cv::Mat alpha;
        cv::extractChannel(image, alpha, 3);
        image.release();
        out.mask = bordered_mask_from_alpha(alpha, margin);
    }
    out.w = out.mask.cols;
    out.h = out.mask.rows;
    return out;
}

void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale) {
    AlphaMask m = decode(inspect(path, margin));
    mask = std::move(m.mask);
    w = m.w;
    h = m.h;
    scale = m.scale;
}

}  // namespace vellumcut
