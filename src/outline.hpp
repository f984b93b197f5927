// Mask loading and outline helpers shared by every mesher.
//
// Coordinate convention used throughout: pixel coordinates of the alpha mask,
// x to the right (columns), y downwards (rows), origin at the top-left pixel
// of the mask *including* its margin border. Traced outlines run through pixel
// centres, so every traced point has whole-number coordinates.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {

// One closed outline; the edge from the last point back to the first closes
// it and the first point is not repeated at the end.
using Loop = std::vector<cv::Point2f>;

// Images above this many pixels (before the margin is added) are refused.
constexpr long long kMaxImagePixels = 4096LL * 4096LL;
// The mask with its margin border may hold at most this many pixels (a 4096 x
// 4096 image with a margin of up to 2048).
constexpr long long kMaxMaskPixels = 4 * kMaxImagePixels;

// Whether a w x h image with `margin` transparent pixels on every side stays
// within kMaxMaskPixels (a margin of 0 or less adds nothing).
bool bordered_size_fits(int w, int h, int margin);

// Reads `path` with OpenCV, keeps its alpha channel, pads it with `margin`
// transparent pixels on every side (when margin > 0) and thresholds it so that
// alpha > 0 becomes 255 and everything else 0. Plain 8-bit PNGs with alpha
// are decoded by the fast path of png_alpha.hpp instead, to the same mask. The mask keeps the sample depth
// of the decoded image. Throws std::runtime_error with the user-facing
// messages, std::invalid_argument for a path with an embedded NUL or a margin
// whose border would exceed kMaxMaskPixels, or cv::Exception when OpenCV
// itself fails.
void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale);

// Receives the mask's width and height (margin included) as the file's header
// declares them.
using MaskSizeHint = std::function<void(int width, int height)>;

// As above; `on_declared_size` is called once the header has passed every
// check and before a single pixel is decoded, so that work which needs only
// the size can start while the image decodes. It is not called for files
// refused from their header. The decoded size is what counts: a caller must
// compare it with the hint.
void load_alpha_mask(const std::string& path, int margin, cv::Mat& mask, int& w, int& h,
                     float& scale, const MaskSizeHint& on_declared_size);

// Shoelace area, each term in single precision, summed in double.
// Positive means clockwise on screen (y grows downwards).
double signed_area(const Loop& loop);

// Drops points closer than 1e-6 to the previously kept one (and a closing
// point equal to the first); a loop left with fewer than 3 points becomes its
// bounding rectangle grown by one pixel. Precondition: loop is not empty.
Loop clean_loop(Loop loop);

struct IslandsResult {
    std::vector<std::vector<float>> loops;  // flat x0, y0, x1, y1, ... per island
    int w = 0;
    int h = 0;
    float scale = 1.0f;
};

// Simplified outer outline of every opaque island, oriented so that its
// signed area is <= 0 (counter-clockwise on screen). `stop` is polled
// between the steps and every thousand outlines.
IslandsResult islands(const std::string& path, float eps, int margin, Stop& stop = no_stop());

}  // namespace vellumcut
