// Why the loader refused a file, as data: a kind and the numbers that go with
// it. The loader throws ImageRefused, a std::runtime_error whose text is the
// core's fixed message (messages.hpp), so callers that only read the text see
// exactly what they always saw; callers that explain refusals (the sprite
// mesher's binding) read the kind and numbers instead of the text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "mask/header.hpp"

namespace vellumcut {

enum class RefusalKind {
    cannot_open,         // open() or read() failed; `error_number` says why
    directory,           // the path names a directory
    not_regular_file,    // a FIFO, device or socket
    empty_file,          // zero bytes
    not_image,           // no decoder claims the bytes
    unsupported_format,  // a format that never carries alpha here (JPEG, PPM, ...)
    damaged,             // a known format whose header or data do not decode
    too_large,           // width x height above `limit` pixels
    file_too_large,      // `bytes` above `limit` bytes
    no_alpha,            // decoded, but with `channels` < 4
};

struct Refusal {
    RefusalKind kind = RefusalKind::not_image;
    ImageFormat format = ImageFormat::unknown;
    std::uint64_t width = 0;   // as declared or decoded; 0 when unknown
    std::uint64_t height = 0;
    std::uint64_t limit = 0;   // pixels (too_large) or bytes (file_too_large)
    std::uint64_t bytes = 0;   // the file's length, when known
    int channels = 0;          // no_alpha: the decoded channel count
    int error_number = 0;      // cannot_open: errno
};

class ImageRefused : public std::runtime_error {
public:
    ImageRefused(const std::string& what, const Refusal& why) : std::runtime_error(what), refusal_(why) {}
    const Refusal& refusal() const noexcept { return refusal_; }

private:
    Refusal refusal_;
};

// Stable names, as the Python side sees them.
inline const char* kind_name(RefusalKind kind) {
    switch (kind) {
        case RefusalKind::cannot_open: return "cannot_open";
        case RefusalKind::directory: return "directory";
        case RefusalKind::not_regular_file: return "not_regular_file";
        case RefusalKind::empty_file: return "empty_file";
        case RefusalKind::not_image: return "not_image";
        case RefusalKind::unsupported_format: return "unsupported_format";
        case RefusalKind::damaged: return "damaged";
        case RefusalKind::too_large: return "too_large";
        case RefusalKind::file_too_large: return "file_too_large";
        case RefusalKind::no_alpha: return "no_alpha";
    }
    return "not_image";
}

inline const char* format_name(ImageFormat format) {
    switch (format) {
        case ImageFormat::unknown: return "";
        case ImageFormat::bmp: return "BMP";
        case ImageFormat::hdr: return "Radiance HDR";
        case ImageFormat::jpeg: return "JPEG";
        case ImageFormat::webp: return "WebP";
        case ImageFormat::sun_raster: return "Sun raster";
        case ImageFormat::pxm: return "PBM/PGM/PPM";
        case ImageFormat::pam: return "PAM";
        case ImageFormat::pfm: return "PFM";
        case ImageFormat::tiff: return "TIFF";
        case ImageFormat::png: return "PNG";
        case ImageFormat::dicom: return "DICOM";
        case ImageFormat::jpeg2000: return "JPEG 2000";
        case ImageFormat::exr: return "OpenEXR";
        case ImageFormat::gdal: return "NITF/DTED";
    }
    return "";
}

// Formats whose decoders here never give an alpha channel: a file of one of
// these is refused from its signature alone.
inline bool never_has_alpha(ImageFormat format) {
    switch (format) {
        case ImageFormat::hdr:
        case ImageFormat::jpeg:
        case ImageFormat::sun_raster:
        case ImageFormat::pxm:
        case ImageFormat::pfm:
        case ImageFormat::dicom:
        case ImageFormat::gdal: return true;
        default: return false;
    }
}

}  // namespace vellumcut
