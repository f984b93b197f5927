// Constrained Delaunay mesher over Shewchuk's Triangle (Debian's
// libtriangle, REAL = double).
//
// Triangle triangulates the convex hull of every point with every ring edge
// as a segment; it removes nothing for holes or for the outside of the outer
// ring. The triangles are selected afterwards by where their centroid lies,
// so a hole or outline of any shape (its vertex mean outside it, say) is
// handled alike.
#include "constrained_mesh/mesher.hpp"
#include "constrained_mesh/detail/mesher_steps.hpp"
#include "constrained_mesh/pslg.hpp"
#include "constrained_mesh/triangle_front.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "messages.hpp"

namespace vellumcut {
namespace {

// The smallest absolute signed area of a usable ring.
constexpr double kMinRingArea = 0.001;

// Triangle cannot be asked to stop, and takes about a second per million
// points. From this many points on it runs in a child process even when the
// input is safe in this one, with no deadline, only so that the caller can
// stop the call at once; the mesh is the same.
constexpr int kChildTrianglePoints = 1 << 20;

// Triangle sizes its output buffers with `int` byte counts (about 24 bytes
// per point for triangles and edges alike); stay far below that overflow.
constexpr std::size_t kMaxPoints = INT_MAX / 32;

bool usable_ring(const Loop& ring) {
    return ring.size() >= 3 && std::fabs(signed_area(ring)) > kMinRingArea;
}

// Triangle crashes or never returns on a NaN point, and an infinite one has
// no place in a mesh.
void require_finite(const Loop& points) {
    for (const cv::Point2f& p : points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
            throw std::invalid_argument("non-finite coordinate");
        }
    }
}

// The planar straight-line graph handed to Triangle: every distinct point
// once, in the order of first appearance, and every distinct ring edge once.
//
// Triangle keeps one of a set of coincident points and forgets the others,
// yet still looks up segment ends by their original numbers; a segment that
// ends at a forgotten point makes insertsegment() read uninitialised memory
// (wrong meshes, "Internal error", or a crash). Closing points, outlines
// through one-pixel necks and holes touching the outer ring all produce such
// points, so they are merged here and the library never sees a duplicate.
struct Graph : Pslg {
    std::unordered_map<std::uint64_t, int> index_of;
    std::unordered_set<std::uint64_t> edges;

    int add_point(cv::Point2f p) {
        // +0.0f folds -0 into 0: the two compare equal, so Triangle would
        // treat them as one point too.
        const float x = p.x + 0.0f, y = p.y + 0.0f;
        std::uint32_t bx, by;
        std::memcpy(&bx, &x, sizeof bx);
        std::memcpy(&by, &y, sizeof by);
        const std::uint64_t key = (std::uint64_t{bx} << 32) | by;
        const int next = static_cast<int>(points.size() / 2);
        const auto found = index_of.emplace(key, next);
        if (!found.second) return found.first->second;
        if (static_cast<std::size_t>(next) >= kMaxPoints) {
            throw std::length_error("too many points to triangulate");
        }
        points.push_back(static_cast<double>(p.x));
        points.push_back(static_cast<double>(p.y));
        return next;
    }

    void add_ring(const Loop& ring) {
        std::vector<int> ids;
        ids.reserve(ring.size());
        for (const cv::Point2f& p : ring) ids.push_back(add_point(p));
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const int a = ids[i];
            const int b = ids[(i + 1) % ids.size()];
            if (a == b) continue;  // both ends merged into one point
            const auto lo = static_cast<std::uint32_t>(std::min(a, b));
            const auto hi = static_cast<std::uint32_t>(std::max(a, b));
            if (!edges.insert((std::uint64_t{lo} << 32) | hi).second) continue;  // repeated
            segments.push_back(a);
            segments.push_back(b);
        }
    }
};

}  // namespace

namespace detail {

Mesh triangulate_all(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                     std::vector<Loop>& kept_holes, const MesherOptions& options,
                     MesherReport* report, Stop& stop) {
    // Before anything else: a NaN makes a ring's area NaN, which would
    // otherwise pass as "degenerate" or drop the hole silently.
    require_finite(outer);
    for (const Loop& h : holes) require_finite(h);
    require_finite(extra);

    if (!usable_ring(outer)) throw std::runtime_error(messages::kOuterDegenerate);

    kept_holes.clear();
    for (const Loop& h : holes) {
        if (usable_ring(h)) kept_holes.push_back(h);
    }

    std::size_t total = outer.size() + extra.size();
    for (const Loop& h : kept_holes) total += h.size();
    Graph g;
    g.points.reserve(2 * std::min(total, kMaxPoints));
    g.index_of.reserve(std::min(total, kMaxPoints));

    // A point costs a hash-table insertion (tens of nanoseconds).
    constexpr std::size_t kPollInterval = std::size_t{1} << 16;
    g.add_ring(outer);
    stop.poll();
    for (const Loop& h : kept_holes) {
        g.add_ring(h);
        stop.poll();
    }
    for (std::size_t i = 0; i < extra.size(); ++i) {
        if (i % kPollInterval == kPollInterval - 1) stop.poll();
        g.add_point(extra[i]);
    }

    const int n_in = static_cast<int>(g.points.size() / 2);
    for (int s : g.segments) {
        if (s < 0 || s >= n_in) throw std::runtime_error(messages::kSegIndex);
    }

    // Split the segments where they cross, overlap or pass through a point:
    // the crossing points go after all input points. Input without any of
    // that is meshed in this process, and so is input whose splitting only
    // cut segments at points it already had (rings of a traced outline that
    // touch at a pixel): either way Triangle gets the caller's own points
    // joined by segments that meet only at their ends. When crossing points
    // had to be added, or the splitting did not settle, Triangle runs in a
    // child process that may crash or be stopped without taking this one
    // along.
    CrossingResolution crossings;
    if (options.resolve_crossings) {
        crossings = resolve_crossings(g.points, g.segments, kMaxPoints, stop);
    }
    using Isolation = MesherOptions::Isolation;
    const bool added_or_unsettled = crossings.added_points > 0 || !crossings.converged;
    const bool isolate = options.isolation == Isolation::Always ||
                         (options.isolation == Isolation::Auto && added_or_unsettled) ||
                         (options.isolation == Isolation::Unresolved && !crossings.converged);
    if (report != nullptr) report->isolated = isolate;

    // No hole list: 'c' keeps every triangle of the convex hull, and the
    // centroid filter is the only thing that removes triangles.
    TriangleSwitches switches;
    switches.no_boundary_steiner = true;
    switches.edges = true;
    switches.jettison = true;
    switches.convex_hull = true;
    TriangleRun run;
    if (isolate) {
        // Triangle builds about a million points a second; allow ten
        // times that and two seconds, of the child's processor time (a
        // starved machine slows the clock, not the count).
        run.where = TriangleRun::Where::child;
        run.child_cpu_seconds = options.deadline_seconds > 0
                                    ? options.deadline_seconds
                                    : 2.0 + 1e-5 * static_cast<double>(g.point_count() +
                                                                      static_cast<int>(g.segments.size() / 2));
    } else if (g.point_count() >= kChildTrianglePoints) {
        // No deadline; without a child, here and without a stop.
        run.where = TriangleRun::Where::child_else_here;
    }
    const Triangulation out = triangulate(g, {}, switches, run, stop);
    // The graph's lookup tables are large for big inputs; free them before
    // the output is copied.
    decltype(g.index_of)().swap(g.index_of);
    decltype(g.edges)().swap(g.edges);
    stop.poll();

    const int n_out = out.point_count();  // input points, then segment crossings
    const int n_tri = out.triangle_count();
    Mesh mesh;
    mesh.v.assign(out.points(), out.points() + 2 * static_cast<std::size_t>(n_out));
    mesh.idx.assign(out.triangles(), out.triangles() + 3 * static_cast<std::size_t>(n_tri));
    return mesh;
}

cv::Point2f triangle_centroid(const Mesh& mesh, std::size_t t) {
    const int* c = mesh.idx.data() + 3 * t;
    return vellumcut::triangle_centroid(mesh.v.data(), c[0], c[1], c[2]);
}

void keep_by_centroid(Mesh& mesh, const Loop& outer, const std::vector<Loop>& kept_holes,
                      Stop& stop) {
    const std::size_t n_tri = mesh.idx.size() / 3;
    const std::vector<char> keep =
        inside_by_centroid(mesh.v.data(), mesh.idx.data(), n_tri, outer, kept_holes, stop);
    // Compacting in place keeps the triangulation's order.
    std::size_t kept = 0;
    for (std::size_t t = 0; t < n_tri; ++t) {
        if (!keep[t]) continue;
        for (int k = 0; k < 3; ++k) mesh.idx[3 * kept + k] = mesh.idx[3 * t + k];
        ++kept;
    }
    mesh.idx.resize(3 * kept);
}

Mesh constrained_mesh(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                      const MesherOptions& options, MesherReport* report, Stop& stop) {
    std::vector<Loop> kept_holes;
    Mesh mesh = triangulate_all(outer, holes, extra, kept_holes, options, report, stop);
    keep_by_centroid(mesh, outer, kept_holes, stop);
    return mesh;
}

}  // namespace detail

Mesh constrained_mesh(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                      Stop& stop) {
    return detail::constrained_mesh(outer, holes, extra, detail::MesherOptions{}, nullptr, stop);
}

Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                    Stop& stop) {
    return constrained_mesh(outer, holes, extra, stop);
}

}  // namespace vellumcut
