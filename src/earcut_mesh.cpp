#include "earcut_mesh.hpp"
#include "detail/earcut_steps.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <cstring>
#include <new>

#include <mapbox/earcut.hpp>
#include <opencv2/imgproc.hpp>

#include "forked_child.hpp"
#include "mask/loader.hpp"
#include "messages.hpp"
#include "outline.hpp"

namespace vellumcut {

namespace {

// Outlines whose traced area is below this fraction of the opaque extent
// (see area_floor) are treated as noise: outer ones are dropped with their
// holes, holes are filled in.
constexpr double kAreaFloorFraction = 0.0005;

// Index layout of one cv::findContours hierarchy entry.
enum HierarchyField { kNext = 0, kPrevious = 1, kFirstChild = 2, kParent = 3 };

// An outer loop and the holes directly inside it, stored back to back.
struct LoopGroup {
    std::vector<cv::Point2f> points;           // outer loop, then every hole
    std::vector<std::uint32_t> hole_starts;    // index of each hole's first point
};

using EarcutPoint = std::array<double, 2>;
using EarcutRing = std::vector<EarcutPoint>;

// Douglas-Peucker simplification, then clean_loop; always >= 3 points.
Loop simplified_loop(const std::vector<cv::Point>& contour, float eps) {
    std::vector<cv::Point> approx;
    cv::approxPolyDP(contour, approx, static_cast<double>(eps), true);
    Loop loop(approx.begin(), approx.end());
    return clean_loop(std::move(loop));
}

std::vector<LoopGroup> build_groups(const std::vector<std::vector<cv::Point>>& contours,
                                    const std::vector<cv::Vec4i>& hierarchy, double floor,
                                    float eps, Stop& stop) {
    std::vector<LoopGroup> groups;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        if (i % 1024 == 1023) stop.poll();
        if (hierarchy[i][kParent] != -1) {
            continue;  // a hole; collected with its outer boundary below
        }
        if (floor > cv::contourArea(contours[i], false)) {
            continue;
        }
        LoopGroup group;
        group.points = simplified_loop(contours[i], eps);
        // Outer loops run counter-clockwise on screen (y down): area <= 0.
        if (signed_area(group.points) > 0.0) {
            std::reverse(group.points.begin(), group.points.end());
        }

        std::size_t visited = 0;
        for (int c = hierarchy[i][kFirstChild]; c != -1; c = hierarchy[c][kNext]) {
            if (++visited % 1024 == 0) stop.poll();
            const std::vector<cv::Point>& hole_contour = contours[static_cast<std::size_t>(c)];
            if (floor > cv::contourArea(hole_contour, false)) {
                continue;  // too small to matter: the outer mesh covers it
            }
            Loop hole = simplified_loop(hole_contour, eps);
            // Holes run the other way round: area >= 0.
            if (signed_area(hole) < 0.0) {
                std::reverse(hole.begin(), hole.end());
            }
            group.hole_starts.push_back(static_cast<std::uint32_t>(group.points.size()));
            group.points.insert(group.points.end(), hole.begin(), hole.end());
        }
        groups.push_back(std::move(group));
    }
    return groups;
}

// earcut links each hole into the outer ring in turn, walking the whole ring
// as it stands each time: the steps grow with holes x ring length. From this
// many steps on (a tenth of a second or more) a group is ear-clipped in a
// child process, because earcut cannot be asked to stop and the call must
// still end promptly when the caller stops it.
double hole_elimination_steps(const std::vector<EarcutRing>& rings) {
    double ring = static_cast<double>(rings.front().size());
    double steps = 0.0;
    for (std::size_t k = 1; k < rings.size(); ++k) {
        steps += 2.0 * ring;  // the ray scan and the angle scan
        ring += static_cast<double>(rings[k].size()) + 2.0;
    }
    return steps;
}

struct EarcutJob {
    const std::vector<EarcutRing>* rings;
};

// In the child: the index count, then the indices.
int earcut_child(int fd, void* context) {
    try {
        const auto& job = *static_cast<const EarcutJob*>(context);
        const std::vector<std::uint32_t> idx = mapbox::earcut<std::uint32_t>(*job.rings);
        const std::uint64_t n = idx.size();
        return write_all(fd, &n, sizeof n) && write_all(fd, idx.data(), n * sizeof(std::uint32_t))
                   ? 0
                   : 3;
    } catch (...) {
        return 2;
    }
}

// mapbox::earcut(rings), in a child process that `stop` can end at any
// moment. A child that cannot be started leaves the work to this process.
std::vector<std::uint32_t> earcut_in_child(const std::vector<EarcutRing>& rings, Stop& stop) {
    EarcutJob job{&rings};
    ChildOutput out;
    try {
        out = run_in_child(&earcut_child, &job, 0.0, stop, "earcut");
    } catch (const ChildUnavailable&) {
        return mapbox::earcut<std::uint32_t>(rings);  // here, then, without a stop
    }
    std::uint64_t n = 0;
    const bool complete = out.data.size() >= sizeof n &&
                          (std::memcpy(&n, out.data.data(), sizeof n),
                           out.data.size() == sizeof n + n * sizeof(std::uint32_t));
    if (!complete || (out.status_known && !out.exited_cleanly)) {
        // earcut itself only fails by running out of memory (the child may
        // also have been killed for it).
        throw std::bad_alloc();
    }
    std::vector<std::uint32_t> idx(static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(idx.data(), out.data.data() + sizeof n, n * sizeof(std::uint32_t));
    return idx;
}

EarcutGroup mesh_group(const LoopGroup& group, Stop& stop, double child_steps) {
    // Ring k runs from its start offset to the next ring's start (or the end).
    std::vector<EarcutRing> rings;
    rings.reserve(group.hole_starts.size() + 1);
    std::size_t begin = 0;
    for (std::size_t k = 0; k <= group.hole_starts.size(); ++k) {
        const std::size_t end =
            k < group.hole_starts.size() ? group.hole_starts[k] : group.points.size();
        EarcutRing ring;
        ring.reserve(end - begin);
        for (std::size_t p = begin; p < end; ++p) {
            ring.push_back({static_cast<double>(group.points[p].x),
                            static_cast<double>(group.points[p].y)});
        }
        rings.push_back(std::move(ring));
        begin = end;
    }

    EarcutGroup out;
    // earcut numbers the points of all rings consecutively in ring order, so
    // its indices are positions in group.points.
    out.idx = hole_elimination_steps(rings) >= child_steps
                  ? earcut_in_child(rings, stop)
                  : mapbox::earcut<std::uint32_t>(rings);
    out.v.reserve(group.points.size() * 2);
    for (const cv::Point2f& p : group.points) {
        out.v.push_back(static_cast<double>(p.x));
        out.v.push_back(static_cast<double>(p.y));
    }
    return out;
}

}  // namespace

namespace detail {

// The area floor is taken from the first and the last opaque pixel in
// row-major scan order (F: leftmost pixel of the top-most opaque row, L:
// rightmost pixel of the bottom-most one). dx is deliberately not the column
// extent of the opaque area: when L lies left of F it is 0 or negative, the
// floor is then <= 0 and every top-level outline passes, even one of zero
// area. The mask must hold at least one opaque pixel.
double area_floor(const cv::Mat& mask) {
    // findContours only accepts 8-bit masks here, so this holds once tracing
    // has succeeded.
    CV_Assert(mask.type() == CV_8UC1);
    auto nonzero = [](unsigned char value) { return value != 0; };

    int first_x = -1, first_y = -1;
    for (int y = 0; y < mask.rows && first_y < 0; ++y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        const unsigned char* hit = std::find_if(row, row + mask.cols, nonzero);
        if (hit != row + mask.cols) {
            first_x = static_cast<int>(hit - row);
            first_y = y;
        }
    }
    int last_x = -1, last_y = -1;
    for (int y = mask.rows - 1; y >= 0 && last_y < 0; --y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        auto rbegin = std::make_reverse_iterator(row + mask.cols);
        auto rend = std::make_reverse_iterator(row);
        auto hit = std::find_if(rbegin, rend, nonzero);
        if (hit != rend) {
            last_x = static_cast<int>(hit.base() - row) - 1;
            last_y = y;
        }
    }
    if (first_y < 0) {
        throw std::runtime_error(messages::kNoOpaque);
    }

    const std::int32_t dx = last_x - first_x + 1;
    const std::int32_t dy = last_y - first_y + 1;
    const std::int64_t extent = static_cast<std::int64_t>(dx) * static_cast<std::int64_t>(dy);
    return static_cast<double>(extent) * kAreaFloorFraction;
}

std::vector<EarcutGroup> mesh_traced(const std::vector<std::vector<cv::Point>>& contours,
                                     const std::vector<cv::Vec4i>& hierarchy, double floor,
                                     float eps, Stop& stop, double child_steps) {
    const std::vector<LoopGroup> groups = build_groups(contours, hierarchy, floor, eps, stop);
    std::vector<EarcutGroup> meshes;
    meshes.reserve(groups.size());
    for (const LoopGroup& group : groups) {
        stop.poll();
        meshes.push_back(mesh_group(group, stop, child_steps));
    }
    return meshes;
}

}  // namespace detail

EarcutResult triangulate_png(const std::string& path, float eps, int margin, float /*maxA*/,
                             Stop& stop) {
    EarcutResult result;
    AlphaMask loaded = decode(inspect(path, margin), stop);
    result.w = loaded.w;
    result.h = loaded.h;
    result.scale = loaded.scale;
    const cv::Mat mask = std::move(loaded.mask);
    stop.poll();

    // Two levels: outer boundaries, and the holes directly inside them. A
    // region inside a hole comes back as an outer boundary of its own.
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE,
                     cv::Point(0, 0));
    if (contours.empty() || hierarchy.empty()) {
        throw std::runtime_error(messages::kNoOpaque);
    }

    stop.poll();
    result.groups = detail::mesh_traced(contours, hierarchy, detail::area_floor(mask), eps, stop);
    return result;
}

}  // namespace vellumcut
