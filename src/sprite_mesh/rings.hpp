// Pieces of the sprite mesher shared by its steps (and by the C++ tests):
// integer rings on pixel edges, traced from a framed mask.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"

namespace vellumcut {
namespace sprite {

struct P {
    std::int64_t x = 0;
    std::int64_t y = 0;
    bool operator==(const P& o) const { return x == o.x && y == o.y; }
    bool operator!=(const P& o) const { return !(*this == o); }
};

using IRing = std::vector<P>;

inline std::int64_t cross(const P& o, const P& a, const P& b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Twice the shoelace area (negative for outer rings, see sprite_mesh.hpp).
std::int64_t area2(const IRing& ring);

// One traced ring of a framed mask (a transparent frame of one pixel all
// round): corners in units of 1/kUnit px of the padded grid, the opaque
// island (8-connected) on its right. Islands and the 4-connected transparent
// regions (gaps) are named by ring index: `island` is the index of the
// island's outer ring, `gap` the index of the hole ring that bounds the gap
// across this ring (-1: the background around everything). `area` is the
// pixel area the ring's crack edges enclose.
struct TracedRing {
    IRing pts;
    int island = 0;
    int gap = -1;
    std::int64_t area = 0;
    bool hole = false;
    bool bridged = false;  // passes through a corner shared with a diagonal pixel
};

// Every ring of `padded` (CV_8UC1, nonzero where opaque, frame transparent). Where two opaque
// pixels touch only at a corner they belong to one island; the ring's two
// passes through that corner are each cut by `bridge` units into the
// transparent pixel they wrap around, so that no ring touches itself or
// another. Which island and gap each ring bounds is found from the rings
// themselves (no labelling pass over the image).
std::vector<TracedRing> trace_rings(const cv::Mat& padded, std::int64_t bridge, Stop& stop);

}  // namespace sprite
}  // namespace vellumcut
