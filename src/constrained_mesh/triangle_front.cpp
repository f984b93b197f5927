// The one front end of the Triangle library (see triangle_front.hpp).
#include "constrained_mesh/triangle_front.hpp"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "constrained_mesh/ring_index.hpp"
#include "constrained_mesh/triangle_guard.hpp"
#include "forked_child.hpp"

// Triangle's record types, included in this one file (the header has no
// include guard).
#include <triangle.h>

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
#include <fpu_control.h>
#define VELLUMCUT_HAVE_X87_CW 1
#endif

namespace vellumcut {

// Owns the arrays Triangle allocates into an output record. The hole and
// region lists are only copies of the input record's pointers and are not
// ours to free.
struct TriangleOutput {
    triangulateio io;
    TriangleOutput() { std::memset(&io, 0, sizeof io); }
    ~TriangleOutput() {
        void* owned[] = {io.pointlist,    io.pointattributelist, io.pointmarkerlist,
                         io.trianglelist, io.triangleattributelist, io.neighborlist,
                         io.segmentlist,  io.segmentmarkerlist,  io.edgelist,
                         io.edgemarkerlist, io.normlist};
        for (void* p : owned) {
            if (p != nullptr) trifree(p);
        }
    }
    TriangleOutput(const TriangleOutput&) = delete;
    TriangleOutput& operator=(const TriangleOutput&) = delete;
};

namespace {

// Triangle's exactinit() loads an x87 control word that unmasks the
// invalid-operation, divide-by-zero and overflow traps for the whole thread
// and never puts the old one back; afterwards any long-double overflow
// (numpy's own import does one) dies of SIGFPE. This guard puts back the
// whole floating-point environment, the x87 control word explicitly (glibc's
// fesetenv does not restore every control bit), on every way out.
class FloatEnvGuard {
public:
    FloatEnvGuard() {
        std::fegetenv(&env_);
#ifdef VELLUMCUT_HAVE_X87_CW
        _FPU_GETCW(cw_);
#endif
    }
    ~FloatEnvGuard() {
#ifdef VELLUMCUT_HAVE_X87_CW
        // Masks first: loading them cannot raise a pending exception.
        _FPU_SETCW(cw_);
#endif
        std::fesetenv(&env_);
    }
    FloatEnvGuard(const FloatEnvGuard&) = delete;
    FloatEnvGuard& operator=(const FloatEnvGuard&) = delete;

private:
    std::fenv_t env_;
#ifdef VELLUMCUT_HAVE_X87_CW
    fpu_control_t cw_ = 0;
#endif
};

// Which pairs of points are segments, and which way they run. Most points
// start one segment at most (rings that never touch), so one array does; a
// point that starts two sends the second to the set.
class SegmentIndex {
public:
    explicit SegmentIndex(const Pslg& g) : next_(g.points.size() / 2, -1) {
        for (std::size_t i = 0; i + 1 < g.segments.size(); i += 2) {
            const int a = g.segments[i], b = g.segments[i + 1];
            if (next_[static_cast<std::size_t>(a)] < 0) {
                next_[static_cast<std::size_t>(a)] = b;
            } else {
                extra_.insert(key(a, b));
            }
        }
    }
    // 1: a segment runs u -> v; -1: one runs v -> u; 0: none.
    int way(int u, int v) const {
        if (runs(u, v)) return 1;
        if (runs(v, u)) return -1;
        return 0;
    }

private:
    static std::uint64_t key(int a, int b) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) | static_cast<std::uint32_t>(b);
    }
    bool runs(int a, int b) const {
        return next_[static_cast<std::size_t>(a)] == b || (!extra_.empty() && extra_.count(key(a, b)) != 0);
    }
    std::vector<int> next_;
    std::unordered_set<std::uint64_t> extra_;
};

// One centroid coordinate: the corner sum in double, rounded to float, then
// divided by 3 in float. Near FLT_MAX the rounded sum overflows while the
// centroid itself is representable; divide in double there instead.
float centroid_coord(double a, double b, double c) {
    const double sum = a + b + c;
    const float rounded = static_cast<float>(sum);
    if (std::isinf(rounded)) return static_cast<float>(sum / 3.0);
    return rounded / 3.0f;
}

}  // namespace

std::string TriangleSwitches::text() const {
    std::string s = "pzQB";
    if (no_boundary_steiner) s += 'Y';
    if (edges) s += 'e';
    if (jettison) s += 'j';
    if (convex_hull) s += 'c';
    if (no_segments_out) s += 'P';
    if (neighbours) s += 'n';
    char number[64];
    if (min_angle > 0) {
        std::snprintf(number, sizeof number, "q%.6f", min_angle);
        s += number;
    }
    if (max_area > 0) {
        std::snprintf(number, sizeof number, "a%.6f", max_area);
        s += number;
    }
    if (max_steiner >= 0) {
        std::snprintf(number, sizeof number, "S%.0f", max_steiner);
        s += number;
    }
    return s;
}

Triangulation::Triangulation() : out_(std::make_unique<TriangleOutput>()) {}
Triangulation::~Triangulation() = default;
Triangulation::Triangulation(Triangulation&&) noexcept = default;
Triangulation& Triangulation::operator=(Triangulation&&) noexcept = default;

int Triangulation::point_count() const { return out_->io.numberofpoints; }
int Triangulation::triangle_count() const { return out_->io.numberoftriangles; }
const double* Triangulation::points() const { return out_->io.pointlist; }
const int* Triangulation::triangles() const { return out_->io.trianglelist; }
const int* Triangulation::neighbours() const { return out_->io.neighborlist; }

Triangulation triangulate(const Pslg& graph, const std::vector<double>& hole_seeds,
                          const TriangleSwitches& switches, const TriangleRun& run, Stop& stop) {
    // The library only reads the input arrays, though its record holds them
    // through pointers to non-const.
    triangulateio in;
    std::memset(&in, 0, sizeof in);
    in.pointlist = const_cast<double*>(graph.points.data());
    in.numberofpoints = static_cast<int>(graph.points.size() / 2);
    in.segmentlist = const_cast<int*>(graph.segments.data());
    in.numberofsegments = static_cast<int>(graph.segments.size() / 2);
    in.holelist = hole_seeds.empty() ? nullptr : const_cast<double*>(hole_seeds.data());
    in.numberofholes = static_cast<int>(hole_seeds.size() / 2);
    std::string text = switches.text();
    char* sw = text.data();

    Triangulation result;
    triangulateio* out = &result.out_->io;
    const Stop* cancel = run.stoppable ? &stop : nullptr;
    FloatEnvGuard fp_guard;
    switch (run.where) {
        case TriangleRun::Where::here:
            guarded_triangulate(sw, &in, out, cancel);
            break;
        case TriangleRun::Where::child:
            isolated_triangulate(sw, &in, out, run.child_cpu_seconds, stop);
            break;
        case TriangleRun::Where::child_else_here:
            try {
                isolated_triangulate(sw, &in, out, run.child_cpu_seconds, stop);
            } catch (const ChildUnavailable&) {
                guarded_triangulate(sw, &in, out, cancel);  // here, then
            }
            break;
    }
    return result;
}

cv::Point2f triangle_centroid(const double* points, int a, int b, int c) {
    return {centroid_coord(points[2 * a], points[2 * b], points[2 * c]),
            centroid_coord(points[2 * a + 1], points[2 * b + 1], points[2 * c + 1])};
}

std::vector<char> inside_by_centroid(const double* points, const int* triangles, std::size_t count,
                                     const Loop& outer, const std::vector<Loop>& holes, Stop& stop) {
    // Both indices answer exactly as cv::pointPolygonTest on the same rings.
    const RingIndex outer_index = build_ring_index(outer);
    const RingIndex hole_index = build_ring_index(holes);
    std::vector<char> keep(count, 0);
    // A centroid test costs well under a microsecond on pixel outlines.
    constexpr std::size_t kPollInterval = 4096;
    for (std::size_t t = 0; t < count; ++t) {
        if (t % kPollInterval == kPollInterval - 1) stop.poll();
        const int* c = triangles + 3 * t;
        const cv::Point2f centroid = triangle_centroid(points, c[0], c[1], c[2]);
        // Kept on the outer ring (>= 0), dropped on a hole ring (>= 0).
        keep[t] = ring_test(outer_index, centroid) >= 0 && first_ring_not_outside(hole_index, centroid) < 0;
    }
    return keep;
}

std::vector<char> inside_by_segment_side(const Pslg& graph, const Triangulation& mesh) {
    const int nt = mesh.triangle_count();
    const SegmentIndex dir(graph);
    const double* pt = mesh.points();
    const int* tri = mesh.triangles();
    const int* nb = mesh.neighbours();
    std::vector<char> state(static_cast<std::size_t>(nt), 0);  // 0 unknown, 1 in, 2 out
    std::vector<int> stack;
    // Every triangle on a segment takes its side from the segment's direction.
    for (int t = 0; t < nt; ++t) {
        for (int k = 0; k < 3; ++k) {
            const int u = tri[3 * t + (k + 1) % 3], v = tri[3 * t + (k + 2) % 3], w = tri[3 * t + k];
            const int way = dir.way(u, v);
            if (way == 0) continue;
            const int a = way > 0 ? u : v, b = way > 0 ? v : u;
            const double c = (pt[2 * b] - pt[2 * a]) * (pt[2 * w + 1] - pt[2 * a + 1]) -
                             (pt[2 * b + 1] - pt[2 * a + 1]) * (pt[2 * w] - pt[2 * a]);
            const char s = c < 0 ? 1 : 2;
            if (state[static_cast<std::size_t>(t)] == 0) {
                state[static_cast<std::size_t>(t)] = s;
                stack.push_back(t);
            }
        }
    }
    // The rest take it from a neighbour across an edge that is no segment.
    while (!stack.empty()) {
        const int t = stack.back();
        stack.pop_back();
        for (int k = 0; k < 3; ++k) {
            const int n = nb[3 * t + k];
            if (n < 0 || state[static_cast<std::size_t>(n)] != 0) continue;
            const int u = tri[3 * t + (k + 1) % 3], v = tri[3 * t + (k + 2) % 3];
            if (dir.way(u, v) != 0) continue;
            state[static_cast<std::size_t>(n)] = state[static_cast<std::size_t>(t)];
            stack.push_back(n);
        }
    }
    std::vector<char> in(static_cast<std::size_t>(nt));
    for (std::size_t t = 0; t < in.size(); ++t) in[t] = state[t] != 2;
    return in;
}

std::vector<double> hole_seeds(const Pslg& graph, const Triangulation& mesh, const std::vector<char>& keep) {
    const SegmentIndex seg_index(graph);
    const double* pt = mesh.points();
    const int* tri = mesh.triangles();
    const int* nb = mesh.neighbours();
    const int nt = mesh.triangle_count();
    std::vector<double> seeds;
    std::vector<char> taken(static_cast<std::size_t>(nt), 0);
    std::vector<int> stack;
    for (int t = 0; t < nt; ++t) {
        if (keep[static_cast<std::size_t>(t)] || taken[static_cast<std::size_t>(t)]) continue;
        const int* c = tri + 3 * t;
        seeds.push_back((pt[2 * c[0]] + pt[2 * c[1]] + pt[2 * c[2]]) / 3);
        seeds.push_back((pt[2 * c[0] + 1] + pt[2 * c[1] + 1] + pt[2 * c[2] + 1]) / 3);
        taken[static_cast<std::size_t>(t)] = 1;
        stack.assign(1, t);
        while (!stack.empty()) {
            const int u = stack.back();
            stack.pop_back();
            for (int k = 0; k < 3; ++k) {
                const int w = nb[3 * u + k];
                if (w < 0 || keep[static_cast<std::size_t>(w)] || taken[static_cast<std::size_t>(w)]) continue;
                if (seg_index.way(tri[3 * u + (k + 1) % 3], tri[3 * u + (k + 2) % 3]) != 0) continue;
                taken[static_cast<std::size_t>(w)] = 1;
                stack.push_back(w);
            }
        }
    }
    return seeds;
}

void free_edges(const Triangulation& mesh, const std::vector<char>& keep, std::vector<std::int32_t>& edges) {
    const int* tri = mesh.triangles();
    const int* nb = mesh.neighbours();
    for (int t = 0; t < mesh.triangle_count(); ++t) {
        if (!keep[static_cast<std::size_t>(t)]) continue;
        for (int k = 0; k < 3; ++k) {
            const int n = nb[3 * t + k];
            if (n >= 0 && keep[static_cast<std::size_t>(n)]) continue;
            edges.push_back(tri[3 * t + (k + 1) % 3]);
            edges.push_back(tri[3 * t + (k + 2) % 3]);
        }
    }
}

}  // namespace vellumcut
