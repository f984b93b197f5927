// Game-ready meshes of sprites: outlines on pixel edges that never clip an
// opaque pixel, simplified outwards only, padded, and triangulated with
// Triangle (constrained, with Poisson-disk interior points, or with quality
// refinement).
//
// Frames: the result is in the mask frame of the core's functions. x to the
// right, y downwards, the top-left pixel of the image *with* its margin at
// (0, 0), integer coordinates on pixel centres, so the edges of pixel (c, r)
// lie at c +- 0.5 and r +- 0.5. Inside, all geometry works on exact integers:
// pixel corners scaled by kUnit (a corner between pixels sits on a multiple
// of kUnit), so orientation tests are exact.
//
// Orientation: every ring keeps the mesh on its right-hand side in the usual
// x-right, y-up algebra, that is cross(b - a, p - a) < 0 for a point p of the
// mesh next to the edge a -> b. In the y-down mask frame this makes outer
// rings' shoelace area negative and holes' positive, the convention of the
// core's outlines and of vellumcut.meshes.Part.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"
#include "mask/refusal.hpp"
#include "sprite_mesh/options.hpp"

namespace vellumcut {
namespace sprite {

// Sub-pixel resolution of the integer geometry: 1/64 px.
constexpr std::int64_t kUnit = 64;

// The interior spacing chosen for an island of `pixels` opaque pixels when
// none is given: about 48 spacing squares over the island, so that a mesh
// has tens to a few hundred interior points whatever the sprite's size, and
// never closer than 4 px.
double auto_spacing(double pixels);

struct PartMesh {
    std::vector<double> v;               // x0, y0, x1, y1, ... (mask frame)
    std::vector<std::int32_t> idx;       // three indices per triangle
    std::vector<std::vector<std::int32_t>> rings;  // outer ring first, then holes
};

struct Result {
    std::vector<PartMesh> parts;
    int w = 0;  // mask width and height, margin included
    int h = 0;
    // The vertex budget: whether it cut the tolerance's outline further,
    // the overdraw (mesh area over opaque area, minus 1) before and after,
    // and the least budget seen that kept overdraw within 10 % (0: none).
    bool budget_applied = false;
    long long budget = 0;          // the budget used (max_vertices, or the least when it grew)
    double overdraw_before = 0;
    double overdraw = 0;
    long long under_10 = 0;
};

// A binary image framed by one transparent pixel all round (rows + 2 by
// cols + 2 for an image of rows x cols), CV_8UC1, nonzero where opaque.
using Opaque = cv::Mat;

// Framed opaque pixels of an image given as samples: `channels` 1 (alpha
// only), 3 (no alpha: every pixel opaque) or 4 (alpha last), `bytes` 1
// (uint8) or 2 (uint16, compared as alpha16 > threshold * 257). Rows are `stride` bytes
// apart. Throws std::invalid_argument on any other layout, ImageRefused
// (too_large) above the core's pixel limit.
Opaque opaque_from_samples(const void* data, int rows, int cols, std::size_t stride, int channels,
                           int bytes, int alpha_threshold);

// Reads the framed opaque pixels of an image file with the same header
// checks and size limits as the core's loader. Images without alpha are
// fully opaque, and `*alpha` (when given) says whether the image had alpha.
// Throws ImageRefused (mask/refusal.hpp) with its kind and numbers and an
// English message for files it cannot read, std::invalid_argument for a path
// with an embedded NUL.
Opaque load_opaque(const std::string& path, int alpha_threshold, bool* alpha = nullptr);

// An image file read once for both drawing and meshing: its pixels as 8-bit
// R, G, B, A (16-bit samples rounded to 8 bits, floating-point ones from
// 0..1, greyscale spread over R, G and B, no alpha: 255) and the framed
// opaque mask load_opaque gives for the same threshold. `rgba` is empty for
// a PNG without alpha, whose pixels the loader never decodes (it is opaque
// everywhere; `framed` has its declared size). Refusals as load_opaque's.
struct LoadedImage {
    cv::Mat rgba;    // CV_8UC4, R G B A order; empty: see above
    Opaque framed;   // as load_opaque
    bool alpha = true;
};
LoadedImage load_image(const std::string& path, int alpha_threshold);

// What an image file holds, as the loader reads it; refusals as load_opaque's.
struct ImageInfo {
    ImageFormat format = ImageFormat::unknown;
    int width = 0;
    int height = 0;
    int channels = 0;
    bool has_alpha = false;
    int bits = 8;           // per sample
    bool floating = false;  // floating-point samples
};
ImageInfo probe_image(const std::string& path);

// The mesh of every island of a framed mask. Polls `stop` between steps;
// never calls back into anything while Triangle runs.
Result mesh_framed(const Opaque& framed, const Options& options, Stop& stop);

// The same for a mask without the frame (CV_8UC1, nonzero where opaque).
Result mesh_opaque(const cv::Mat& opaque, const Options& options, Stop& stop);

}  // namespace sprite
}  // namespace vellumcut
