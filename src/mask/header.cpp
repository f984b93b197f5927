#include "mask/header.hpp"

#include <cstring>
#include <string>

namespace vellumcut {

namespace {

// Thrown by ByteView when a read runs past the bytes given; caught below.
struct Truncated {};

class ByteView {
public:
    ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t size() const { return size_; }

    bool has(std::uint64_t off, std::uint64_t n) const {
        return off <= size_ && n <= size_ - off;
    }
    const std::uint8_t* at(std::uint64_t off, std::uint64_t n) const {
        if (!has(off, n)) throw Truncated{};
        return data_ + off;
    }
    bool starts(std::uint64_t off, const char* text, std::size_t n) const {
        return has(off, n) && std::memcmp(data_ + off, text, n) == 0;
    }
    std::uint8_t u8(std::uint64_t off) const { return *at(off, 1); }
    std::uint64_t be(std::uint64_t off, int n) const {
        const std::uint8_t* p = at(off, static_cast<std::uint64_t>(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }
    std::uint64_t le(std::uint64_t off, int n) const {
        const std::uint8_t* p = at(off, static_cast<std::uint64_t>(n));
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
        return v;
    }
    std::uint64_t get(std::uint64_t off, int n, bool big_endian) const {
        return big_endian ? be(off, n) : le(off, n);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

bool is_space(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// w * h > limit, without overflowing for any 64-bit w and h.
bool area_exceeds(std::uint64_t w, std::uint64_t h, std::uint64_t limit) {
    if (w == 0 || h == 0) return false;
    return w > limit / h;
}

HeaderCheck sized(ImageFormat f, std::uint64_t w, std::uint64_t h, std::uint64_t limit) {
    HeaderCheck r;
    r.format = f;
    r.width = w;
    r.height = h;
    if (w == 0 || h == 0) {
        r.verdict = HeaderVerdict::not_rgba;  // every decoder refuses an empty image
    } else if (area_exceeds(w, h, limit)) {
        r.verdict = HeaderVerdict::too_big;
    } else {
        r.verdict = HeaderVerdict::decodable;
    }
    return r;
}

HeaderCheck refused(ImageFormat f) {
    HeaderCheck r;
    r.format = f;
    r.verdict = HeaderVerdict::not_rgba;
    return r;
}

HeaderCheck too_big(HeaderCheck r) {
    r.verdict = HeaderVerdict::too_big;
    return r;
}

// --- PNG: the IHDR chunk must come first, right after the signature. --------
HeaderCheck png(const ByteView& b, std::uint64_t limit) {
    if (!b.starts(12, "IHDR", 4)) {
        b.at(12, 4);  // short file: ask for more
        return refused(ImageFormat::png);
    }
    return sized(ImageFormat::png, b.be(16, 4), b.be(20, 4), limit);
}

// --- BMP: BITMAPINFOHEADER (and later) with signed 32-bit sizes, a negative
// height meaning top-down rows; the old 12-byte core header has 16-bit ones.
HeaderCheck bmp(const ByteView& b, std::uint64_t limit) {
    const std::uint64_t dib = b.le(14, 4);
    std::int64_t w = 0, h = 0;
    if (dib >= 36 && dib < 0x80000000u) {
        w = static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(18, 4)));
        h = static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(22, 4)));
    } else if (dib == 12) {
        w = static_cast<std::int64_t>(b.le(18, 2));
        h = static_cast<std::int64_t>(b.le(20, 2));
    } else {
        return refused(ImageFormat::bmp);
    }
    const std::uint64_t aw = static_cast<std::uint64_t>(w < 0 ? -w : w);
    const std::uint64_t ah = static_cast<std::uint64_t>(h < 0 ? -h : h);
    return sized(ImageFormat::bmp, aw, ah, limit);
}

// --- WebP: the first chunk after the RIFF header decides (lossy, lossless or
// extended with a canvas size).
HeaderCheck webp(const ByteView& b, std::uint64_t limit) {
    if (b.starts(12, "VP8 ", 4)) {
        const std::uint8_t* start = b.at(23, 3);
        if (start[0] != 0x9d || start[1] != 0x01 || start[2] != 0x2a) {
            return refused(ImageFormat::webp);
        }
        return sized(ImageFormat::webp, b.le(26, 2) & 0x3fff, b.le(28, 2) & 0x3fff, limit);
    }
    if (b.starts(12, "VP8L", 4)) {
        if (b.u8(20) != 0x2f) return refused(ImageFormat::webp);
        const std::uint64_t bits = b.le(21, 4);
        return sized(ImageFormat::webp, (bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1, limit);
    }
    if (b.starts(12, "VP8X", 4)) {
        return sized(ImageFormat::webp, b.le(24, 3) + 1, b.le(27, 3) + 1, limit);
    }
    b.at(12, 4);
    return refused(ImageFormat::webp);
}

// --- PAM: "P7" then text lines "KEY value" up to ENDHDR; '#' starts a comment.
HeaderCheck pam(const ByteView& b, std::uint64_t limit) {
    std::uint64_t pos = 3;
    std::uint64_t w = 0, h = 0;
    bool have_w = false, have_h = false;
    const auto read_word = [&](std::string& word) {
        word.clear();
        while (is_space(b.u8(pos))) ++pos;
        while (!is_space(b.u8(pos))) {
            if (word.size() < 32) word.push_back(static_cast<char>(b.u8(pos)));
            ++pos;
        }
    };
    const auto read_number = [&](std::uint64_t& out) {
        std::string word;
        read_word(word);
        if (word.empty() || word.size() > 19) return false;
        out = 0;
        for (char c : word) {
            if (c < '0' || c > '9') return false;
            out = out * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return true;
    };
    std::string key;
    for (;;) {
        while (is_space(b.u8(pos))) ++pos;
        if (b.u8(pos) == '#') {
            while (b.u8(pos) != '\n') ++pos;
            continue;
        }
        read_word(key);
        if (key == "ENDHDR") break;
        if (key == "WIDTH") {
            if (!read_number(w)) return refused(ImageFormat::pam);
            have_w = true;
        } else if (key == "HEIGHT") {
            if (!read_number(h)) return refused(ImageFormat::pam);
            have_h = true;
        } else {
            while (b.u8(pos) != '\n') ++pos;  // value of a key we do not need
        }
    }
    if (!have_w || !have_h) return refused(ImageFormat::pam);
    return sized(ImageFormat::pam, w, h, limit);
}

// --- TIFF and BigTIFF: the first directory, which is the page imread decodes.
// Besides the image size, the decoder allocates one tile (or one strip of
// RowsPerStrip full rows) as declared, so that area is bounded as well.
HeaderCheck tiff(const ByteView& b, std::uint64_t limit) {
    const bool big_endian = b.u8(0) == 'M';
    const bool bigtiff = b.get(2, 2, big_endian) == 0x2b;
    std::uint64_t ifd = 0;
    if (bigtiff) {
        if (b.get(4, 2, big_endian) != 8) return refused(ImageFormat::tiff);
        ifd = b.get(8, 8, big_endian);
    } else {
        ifd = b.get(4, 4, big_endian);
    }
    const std::uint64_t count = b.get(ifd, bigtiff ? 8 : 2, big_endian);
    const std::uint64_t entry_size = bigtiff ? 20 : 12;
    const std::uint64_t first = ifd + (bigtiff ? 8 : 2);
    if (count > 0xffff) return refused(ImageFormat::tiff);  // libtiff caps a directory there

    // A tag that appears more than once takes its largest value: whichever
    // one libtiff keeps, the bound then holds.
    std::uint64_t width = 0, length = 0, tile_w = 0, tile_h = 0;
    std::uint64_t rows_per_strip = 0xffffffffu;
    bool have_w = false, have_l = false, tiled_w = false, tiled_h = false, have_rps = false;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t e = first + i * entry_size;
        const std::uint64_t tag = b.get(e, 2, big_endian);
        const std::uint64_t type = b.get(e + 2, 2, big_endian);
        const std::uint64_t value_at = e + (bigtiff ? 12 : 8);
        std::uint64_t value = 0;
        switch (type) {
            case 1: case 6: value = b.u8(value_at); break;                  // (S)BYTE
            case 3: case 8: value = b.get(value_at, 2, big_endian); break;  // (S)SHORT
            case 4: case 9: value = b.get(value_at, 4, big_endian); break;  // (S)LONG
            case 16: case 17:                                               // (S)LONG8
                if (!bigtiff) continue;
                value = b.get(value_at, 8, big_endian);
                break;
            default: continue;  // not a type libtiff reads these tags from
        }
        if ((type == 8 && value >= 0x8000u) || (type == 9 && value >= 0x80000000u) ||
            (type == 6 && value >= 0x80u) || (type == 17 && value >= (1ull << 63))) {
            return refused(ImageFormat::tiff);  // a negative size
        }
        switch (tag) {
            case 256: width = have_w ? std::max(width, value) : value; have_w = true; break;
            case 257: length = have_l ? std::max(length, value) : value; have_l = true; break;
            case 278:
                rows_per_strip = have_rps ? std::max(rows_per_strip, value) : value;
                have_rps = true;
                break;
            case 322: tile_w = std::max(tile_w, value); tiled_w = true; break;
            case 323: tile_h = std::max(tile_h, value); tiled_h = true; break;
            default: break;
        }
    }
    if (!have_w || !have_l) return refused(ImageFormat::tiff);
    HeaderCheck r = sized(ImageFormat::tiff, width, length, limit);
    if (r.verdict != HeaderVerdict::decodable) return r;

    std::uint64_t buffer_w = width, buffer_h = length;
    if (tiled_w || tiled_h) {
        buffer_w = tile_w == 0 ? width : tile_w;
        buffer_h = tile_h == 0 ? length : tile_h;
    } else if (rows_per_strip != 0 && rows_per_strip != 0xffffffffu) {
        buffer_h = rows_per_strip;
    }
    if (area_exceeds(buffer_w, buffer_h, limit)) return too_big(r);
    return r;
}

// --- JPEG 2000 codestream: the SIZ marker segment right after SOC.
HeaderCheck j2k_codestream(const ByteView& b, std::uint64_t cs, std::uint64_t limit) {
    if (b.be(cs, 2) != 0xff4f || b.be(cs + 2, 2) != 0xff51) return refused(ImageFormat::jpeg2000);
    const std::uint64_t xsiz = b.be(cs + 8, 4), ysiz = b.be(cs + 12, 4);
    const std::uint64_t x0 = b.be(cs + 16, 4), y0 = b.be(cs + 20, 4);
    const std::uint64_t components = b.be(cs + 40, 2);
    if (x0 >= xsiz || y0 >= ysiz) return refused(ImageFormat::jpeg2000);
    // OpenCV decodes 1 to 4 components only; OpenJPEG would otherwise size a
    // full-resolution plane per component before that is checked.
    if (components < 1 || components > 4) return refused(ImageFormat::jpeg2000);
    return sized(ImageFormat::jpeg2000, xsiz - x0, ysiz - y0, limit);
}

// --- JP2: boxes up to the contiguous codestream box "jp2c".
HeaderCheck jp2(const ByteView& b, std::uint64_t limit) {
    std::uint64_t off = 0;
    for (int boxes = 0; boxes < 4096; ++boxes) {
        std::uint64_t len = b.be(off, 4);
        const bool codestream = b.starts(off + 4, "jp2c", 4);
        std::uint64_t header = 8;
        if (len == 1) {
            len = b.be(off + 8, 8);
            header = 16;
        }
        if (codestream) return j2k_codestream(b, off + header, limit);
        if (len == 0) break;  // runs to the end of the file, and is not the codestream
        if (len < header || len > (1ull << 62)) return refused(ImageFormat::jpeg2000);
        off += len;
        b.at(off, 8);
    }
    return refused(ImageFormat::jpeg2000);
}

// --- OpenEXR: attributes of the first header up to the empty name. The data
// window gives the size; a tiled file's tile size is bounded too, since the
// library allocates whole tiles.
HeaderCheck exr(const ByteView& b, std::uint64_t limit) {
    std::uint64_t pos = 8;
    bool have_window = false;
    std::int64_t xmin = 0, ymin = 0, xmax = -1, ymax = -1;
    std::uint64_t tile_w = 0, tile_h = 0;
    const auto read_name = [&](std::string& out) {
        out.clear();
        for (;;) {
            const std::uint8_t c = b.u8(pos++);
            if (c == 0) return true;
            if (out.size() >= 255) return false;
            out.push_back(static_cast<char>(c));
        }
    };
    std::string name, type;
    for (int attrs = 0; attrs < 100000; ++attrs) {
        if (!read_name(name)) return refused(ImageFormat::exr);
        if (name.empty()) {
            if (!have_window) return refused(ImageFormat::exr);
            HeaderCheck r = sized(ImageFormat::exr,
                                  static_cast<std::uint64_t>(xmax - xmin + 1),
                                  static_cast<std::uint64_t>(ymax - ymin + 1), limit);
            if (r.verdict == HeaderVerdict::decodable && area_exceeds(tile_w, tile_h, limit)) {
                return too_big(r);
            }
            return r;
        }
        if (!read_name(type)) return refused(ImageFormat::exr);
        const std::uint64_t size = b.le(pos, 4);
        pos += 4;
        if (size > 0x7fffffffu) return refused(ImageFormat::exr);
        if (name == "dataWindow" && type == "box2i" && size == 16) {
            const auto s32 = [&](std::uint64_t off) {
                return static_cast<std::int64_t>(
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(off, 4))));
            };
            xmin = s32(pos);
            ymin = s32(pos + 4);
            xmax = s32(pos + 8);
            ymax = s32(pos + 12);
            if (xmax < xmin || ymax < ymin) return refused(ImageFormat::exr);
            have_window = true;
        } else if (name == "tiles" && type == "tiledesc" && size == 9) {
            tile_w = b.le(pos, 4);
            tile_h = b.le(pos + 4, 4);
        }
        pos += size;
    }
    return refused(ImageFormat::exr);
}

HeaderCheck inspect(const ByteView& b, std::uint64_t limit) {
    // Same order as OpenCV's decoder list: the first decoder whose signature
    // matches gets the file.
    if (b.starts(0, "BM", 2)) return bmp(b, limit);
    if (b.starts(0, "#?RGBE", 6) || b.starts(0, "#?RADIANCE", 10)) return refused(ImageFormat::hdr);
    if (b.starts(0, "\xff\xd8\xff", 3)) return refused(ImageFormat::jpeg);
    if (b.starts(0, "RIFF", 4) && b.starts(8, "WEBP", 4)) return webp(b, limit);
    if (b.starts(0, "\x59\xa6\x6a\x95", 4)) return refused(ImageFormat::sun_raster);
    if (b.has(0, 3) && b.u8(0) == 'P' && is_space(b.u8(2))) {
        const std::uint8_t kind = b.u8(1);
        if (kind >= '1' && kind <= '6') return refused(ImageFormat::pxm);
        if (kind == '7') return pam(b, limit);
        if (kind == 'f' || kind == 'F') return refused(ImageFormat::pfm);
    }
    if (b.starts(0, "II\x2a\x00", 4) || b.starts(0, "MM\x00\x2a", 4) ||
        b.starts(0, "II\x2b\x00", 4) || b.starts(0, "MM\x00\x2b", 4)) {
        return tiff(b, limit);
    }
    if (b.starts(0, "\x89PNG\r\n\x1a\n", 8)) return png(b, limit);
    if (b.starts(128, "DICM", 4)) return refused(ImageFormat::dicom);
    if (b.starts(0, "\x00\x00\x00\x0cjP  \r\n\x87\n", 12)) return jp2(b, limit);
    if (b.starts(0, "\xff\x4f\xff\x51", 4)) return j2k_codestream(b, 0, limit);
    if (b.starts(0, "\x76\x2f\x31\x01", 4)) return exr(b, limit);
    if (b.has(0, 4) && std::string(reinterpret_cast<const char*>(b.at(0, 4)), 4).find("NITF") !=
                           std::string::npos) {
        return refused(ImageFormat::gdal);
    }
    if (b.starts(140, "DTED", 4)) return refused(ImageFormat::gdal);
    // Signatures reach up to byte 144 (DTED); a shorter prefix may still grow
    // into one of them.
    if (b.size() < 144) b.at(0, 144);
    return refused(ImageFormat::unknown);
}

}  // namespace

HeaderCheck check_image_header(const std::uint8_t* data, std::size_t size, bool complete,
                               std::uint64_t max_pixels) {
    const ByteView bytes(data, size);
    try {
        return inspect(bytes, max_pixels);
    } catch (const Truncated&) {
        HeaderCheck r;
        r.verdict = complete ? HeaderVerdict::not_rgba : HeaderVerdict::need_more;
        return r;
    }
}

}  // namespace vellumcut
