// Turns arbitrary bytes into a sprite (an alpha image of at most 48 x 48
// pixels, or 64 x 64 given raw) and mesher options, for the fuzzer and for
// replaying what it found. fuzz/make_seeds.py writes the same layout.
//
//   [0]  flags: bits 0-1 interior (none, poisson, quality, none), bit 2 a
//        vertex budget, bit 3 a spacing, bits 4-5 margin 0..3, bit 6 a
//        min_island_area above 1, bit 7 a min_hole_area other than 16
//   [1]  alpha threshold (0..254)
//   [2]  tolerance: 0..127 in 1/64 px steps (0 to ~2 px, where exactness
//        is tight), else from 2 px up to 64 px, or one of a few odd values
//   [3]  padding: 0 for a quarter of the values, else 0..8 px or odd values
//   [4]  budget: bit 6 set: strict_budget off (a budget below 3 per island
//        grows to that); bit 7 set: 3 per island with enough pixels, plus
//        the low 6 bits less 2 (so the least allowed and just below it are
//        common); else 3 + the low 6 bits, times 4 from 32 on
//   [5]  spacing 1..32.9 px (with flag bit 3)
//   [6]  min_angle (0..34] degrees
//   [7]  seed
//   [8]  min_island_area from the low nibble: 1..8, then 16..72 in 8s;
//        min_hole_area from the high nibble: 0..14 in 2s, then 32..144 in 16s
//   [9]  width  1 + byte % 48
//   [10] height 1 + byte % 48
//   [11] mask: 0 raw alpha (64 x 64 at most: width and height are then
//        1 + byte % 64), one byte per pixel row by row; 1 one bit per pixel
//        (opaque 255); 2 and up: a drawing program of 6-byte steps (see
//        draw_step) over a transparent image
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "sprite_mesh/sprite_mesh.hpp"

namespace vellumcut::fuzz {

struct SpriteInput {
    cv::Mat alpha;                 // CV_8UC1, the image's alpha
    sprite::Options options;
    bool relative_budget = false;  // the budget was counted from the islands
};

namespace detail_sprite {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Odd values: tolerances and paddings that are no multiple of 1/64 px, the
// bridge and arc limits of the mesher, and the ends of the ranges.
constexpr double kOddTolerances[] = {0.001, 0.01, 1.0 / 128, 0.1, 0.11, 1.0 / 3, 0.25, 0.2501, 0.7, 0.999, 1.5,
                                     2.5, 7.3, 16, 33.3, 64};
constexpr double kOddPaddings[] = {1.0 / 64, 0.001, 0.1, 0.25, 0.5, 0.75, 1, 1.5, 2, 3, 4.9, 8};

inline void put(cv::Mat& m, int x, int y, std::uint8_t v) {
    if (x >= 0 && y >= 0 && x < m.cols && y < m.rows) m.at<std::uint8_t>(y, x) = v;
}

// One step of the drawing program: op, x, y, a, b, value. Coordinates wrap
// into the image, so every step lands; shapes may run off the far sides.
inline void draw_step(cv::Mat& m, Bytes& in) {
    const int op = in.next() % 10;
    const int x = in.next() % m.cols, y = in.next() % m.rows;
    const int a = in.next(), b = in.next();
    const std::uint8_t v = in.next();
    const int w = 1 + a % m.cols, h = 1 + b % m.rows;
    switch (op) {
        case 0:  // a filled rectangle
            cv::rectangle(m, cv::Rect(x, y, w, h), v, cv::FILLED);
            break;
        case 1:  // a one-pixel line, 8-connected: steps touch at corners
            cv::line(m, {x, y}, {a % m.cols, b % m.rows}, v, 1, cv::LINE_8);
            break;
        case 2:  // a checkerboard of 1 x 1 or 2 x 2 cells
            for (int j = 0; j < h; ++j) {
                for (int i = 0; i < w; ++i) {
                    const int s = 1 + (a >> 7);
                    if (((i / s) + (j / s)) % 2 == 0) put(m, x + i, y + j, v);
                }
            }
            break;
        case 3:  // a frame one pixel wide: a hole once filled around
            cv::rectangle(m, cv::Rect(x, y, w, h), v, 1);
            break;
        case 4:  // a disc
            cv::circle(m, {x, y}, a % 16, v, cv::FILLED, cv::LINE_8);
            break;
        case 5:  // a pixel, and its diagonal neighbour
            put(m, x, y, v);
            if (b & 1) put(m, x + 1, y + 1, v);
            if (b & 2) put(m, x + 1, y - 1, v);
            break;
        case 6:  // stripes one pixel wide, 2 to 4 apart
            for (int j = 0; j < h; ++j) {
                for (int i = 0; i < w; ++i) {
                    const int k = (b & 1) ? i : j;
                    if (k % (2 + a % 3) == 0) put(m, x + i, y + j, v);
                }
            }
            break;
        case 7: {  // nested squares: islands in holes in islands
            const int gap = 1 + (b & 1);
            for (int r = 0; 2 * r < std::max(w, h); r += gap) {
                const int side = std::max(w, h) - 2 * r;
                cv::rectangle(m, cv::Rect(x + r, y + r, side, side), (r / gap) % 2 ? 0 : v, cv::FILLED);
            }
            break;
        }
        case 8:  // cut a rectangle out
            cv::rectangle(m, cv::Rect(x, y, w, h), 0, cv::FILLED);
            break;
        default: {  // two blocks joined by a one-pixel neck or a corner
            const int s = 2 + a % 6;
            cv::rectangle(m, cv::Rect(x, y, s, s), v, cv::FILLED);
            const int ox = x + s + ((b & 1) ? 1 : 0), oy = y + ((b & 2) ? s : 0);
            if (b & 1) put(m, x + s, y + s / 2, v);  // the neck
            cv::rectangle(m, cv::Rect(ox, oy, s, s), v, cv::FILLED);
            break;
        }
    }
}

inline int islands_with(const cv::Mat& alpha, int threshold, long long min_area) {
    const cv::Mat opaque = alpha > threshold;
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(opaque, labels, stats, centroids, 8, CV_32S);
    int kept = 0;
    for (int i = 1; i < n; ++i) kept += stats.at<int>(i, cv::CC_STAT_AREA) >= min_area;
    return kept;
}

}  // namespace detail_sprite

inline SpriteInput decode_sprite_input(const std::uint8_t* data, std::size_t size) {
    using namespace detail_sprite;
    Bytes in(data, size);
    SpriteInput s;
    sprite::Options& o = s.options;
    const std::uint8_t flags = in.next();
    o.interior = (flags & 3) == 1 ? sprite::Interior::poisson
               : (flags & 3) == 2 ? sprite::Interior::quality
                                  : sprite::Interior::none;
    o.margin = (flags >> 4) & 3;
    o.alpha_threshold = in.next() % 255;
    const int t = in.next();
    if (t < 128) {
        o.tolerance = t / 64.0;
    } else if (t < 240) {
        o.tolerance = 2.0 + (t - 128) * (62.0 / 111);
    } else {
        o.tolerance = kOddTolerances[t - 240];
    }
    const int p = in.next();
    if (p < 64) {
        o.padding = 0;
    } else if (p < 64 + 12) {
        o.padding = kOddPaddings[p - 64];
    } else {
        o.padding = (p - 76) / 22.5;  // 0 .. 7.96 px
    }
    const int budget = in.next();
    const int spacing = in.next();
    const int angle = in.next();
    o.seed = in.next();
    o.seeded = true;  // replays must mesh alike
    const int areas = in.next();
    if (flags & 8) o.spacing = 1.0 + spacing / 8.0;
    o.min_angle = 34.0 * (angle + 1) / 256;
    const int low = areas & 15, high = areas >> 4;
    if (flags & 0x40) o.min_island_area = low < 8 ? 1 + low : 8 * (low - 6);
    if (flags & 0x80) o.min_hole_area = high < 8 ? 2 * high : 16 * (high - 6);

    const int wb = in.next(), hb = in.next();
    const int mode = in.next();
    const int limit = mode == 0 ? 64 : 48;
    const int w = 1 + wb % limit, h = 1 + hb % limit;
    s.alpha = cv::Mat::zeros(h, w, CV_8UC1);
    if (mode == 0) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) s.alpha.at<std::uint8_t>(y, x) = in.next();
        }
    } else if (mode == 1) {
        for (int i = 0; i < w * h; i += 8) {
            const std::uint8_t bits = in.next();
            for (int k = 0; k < 8 && i + k < w * h; ++k) {
                if ((bits >> k) & 1) s.alpha.at<std::uint8_t>((i + k) / w, (i + k) % w) = 255;
            }
        }
    } else {
        for (int steps = 0; steps < 64 && !in.empty(); ++steps) draw_step(s.alpha, in);
    }
    if (flags & 4) {
        const int value = budget & 0x3f;
        o.strict_budget = (budget & 0x40) == 0;
        if (budget & 0x80) {
            s.relative_budget = true;
            const int kept = islands_with(s.alpha, o.alpha_threshold, o.min_island_area);
            o.max_vertices = std::max(1LL, 3LL * kept + value - 2);
        } else {
            o.max_vertices = 3 + (value < 32 ? value : 4 * value);
        }
    }
    return s;
}

}  // namespace vellumcut::fuzz
