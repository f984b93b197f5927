// Reads the size an image file declares, before anything decodes it.
//
// OpenCV's decoders allocate the whole output image (and some of them
// per-tile or per-strip buffers) from the header before reading a single
// pixel, so a small file that declares a huge image makes them allocate and
// fill gigabytes. This inspector recognises the file the same way
// cv::imread/imdecode would pick a decoder (same signatures, same order) and
// reads the dimensions that decoder will use, so the loader can refuse the
// file while only its header has been touched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellumcut {

enum class ImageFormat {
    unknown,  // no decoder of OpenCV claims it
    bmp,
    hdr,
    jpeg,
    webp,
    sun_raster,
    pxm,  // PBM/PGM/PPM, P1 ... P6
    pam,  // P7
    pfm,
    tiff,
    png,
    dicom,
    jpeg2000,
    exr,
    gdal,  // NITF or DTED, which OpenCV hands to GDAL
};

enum class HeaderVerdict {
    // The declared image (and every buffer its decoder sizes from the header)
    // is within the pixel limit; let OpenCV decode it.
    decodable,
    // OpenCV cannot turn this file into a 4-channel image: no decoder claims
    // it, its decoder only ever yields 1 to 3 channels, its header is
    // malformed, or it goes to a decoder this module does not run.
    not_rgba,
    // The header declares more pixels than the limit allows.
    too_big,
    // The bytes given end before the header does; call again with more.
    need_more,
};

struct HeaderCheck {
    ImageFormat format = ImageFormat::unknown;
    HeaderVerdict verdict = HeaderVerdict::not_rgba;
    std::uint64_t width = 0;   // as declared; 0 when not read
    std::uint64_t height = 0;
};

// `data` holds the first `size` bytes of the file; `complete` says whether
// that is the whole file (otherwise a header that runs past the end gives
// need_more instead of not_rgba). `max_pixels` bounds width * height and the
// area of any tile or strip the decoder allocates.
HeaderCheck check_image_header(const std::uint8_t* data, std::size_t size, bool complete,
                               std::uint64_t max_pixels);

}  // namespace vellumcut
