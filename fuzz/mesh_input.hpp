// Turns arbitrary bytes into tri_mesh_debug arguments, for the fuzzer and for
// replaying the inputs it found (through fuzz/targets.hpp).
//
// Most coordinates come from a coarse signed grid (one byte each) times a
// scale chosen by the input, so coincident points, collinear runs, repeated
// and crossing rings arise often; a flag switches to raw 32-bit floats, which
// reach NaN, infinities, denormals and FLT_MAX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "outline.hpp"

namespace vellumcut::fuzz {

struct MeshInput {
    Loop outer;
    std::vector<Loop> holes;
    Loop extra;
};

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    float raw_float() {
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits = (bits << 8) | byte();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline MeshInput decode_mesh_input(const std::uint8_t* data, std::size_t size) {
    static const float kScales[] = {1.0f, 0.5f, 1e-3f, 1e-20f, 1e-38f, 1e-44f, 1e6f, 1e30f, 2.6e36f};
    ByteReader in(data, size);
    const std::uint8_t flags = in.byte();
    const float scale = kScales[in.byte() % (sizeof kScales / sizeof kScales[0])];
    const bool raw = (flags & 1) != 0;
    const auto point = [&]() {
        if (raw) {
            const float x = in.raw_float();
            return cv::Point2f(x, in.raw_float());
        }
        const float x = static_cast<float>(static_cast<std::int8_t>(in.byte())) * scale;
        return cv::Point2f(x, static_cast<float>(static_cast<std::int8_t>(in.byte())) * scale);
    };
    const auto ring = [&](std::size_t n) {
        Loop r;
        for (std::size_t i = 0; i < n && !in.empty(); ++i) r.push_back(point());
        return r;
    };

    MeshInput m;
    m.outer = ring(3 + in.byte() % 30);
    const int holes = (flags >> 1) % 5;
    for (int h = 0; h < holes; ++h) m.holes.push_back(ring(in.byte() % 24));
    m.extra = ring(in.byte());
    if (flags & 0x40 && !m.outer.empty()) m.extra.push_back(m.outer[0]);   // a free point on a corner
    if (flags & 0x80 && !m.holes.empty()) m.holes.push_back(m.outer);      // a hole equal to the outline
    return m;
}

}  // namespace vellumcut::fuzz
