// The one way into the Triangle library, for the contract's constrained
// mesher and the sprite mesher alike: the input record built from a planar
// straight-line graph and hole seeds, the switches from a few named choices,
// where the library runs (here, or in a child process that may crash or be
// stopped), and the rules that select the triangles of the meshed region.
//
// Nothing here includes <triangle.h>: the library's record types stay in
// triangle_front.cpp, so callers build without its headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "interrupt.hpp"
#include "outline.hpp"

namespace vellumcut {

struct TriangleOutput;

// Triangle's input: x, y per point and two point indices per segment. The
// library is given these arrays as they stand; callers merge coincident
// points first (a segment ending at a point the library forgot as a
// duplicate makes it read uninitialised memory).
struct Pslg {
    std::vector<double> points;
    std::vector<int> segments;
    int point_count() const { return static_cast<int>(points.size() / 2); }
};

// What to ask of the library. Every call reads a graph ('p'), numbers from
// zero ('z'), prints nothing ('Q') and writes no boundary markers ('B');
// the rest is chosen here. text() spells the switches in one fixed order,
// numbers in fixed formats, so that one choice always reads the same.
struct TriangleSwitches {
    bool no_boundary_steiner = false;  // 'Y': never split a segment
    bool edges = false;                // 'e': list the edges too
    bool jettison = false;             // 'j': drop points no triangle uses
    bool convex_hull = false;          // 'c': keep every triangle of the hull (the caller selects)
    bool no_segments_out = false;      // 'P': no segment list in the output
    bool neighbours = false;           // 'n': neighbour list (the selection by segment side needs it)
    double min_angle = 0;              // 'q', degrees, when above 0 (six decimals)
    double max_area = 0;               // 'a', when above 0 (six decimals)
    double max_steiner = -1;           // 'S', points the library may add, when 0 or more (whole)
    std::string text() const;
};

// Where the library runs.
struct TriangleRun {
    enum class Where {
        here,             // in this process, under the process-wide mutex
        child,            // in a forked child (may crash or loop without harm)
        child_else_here,  // a child when one can be had, otherwise here without a stop
    };
    Where where = Where::here;
    // Here: end (Interrupted) at the library's next allocation once the stop
    // is cancelled. A child is always stoppable.
    bool stoppable = false;
    // A child's deadline in seconds of its processor time; <= 0: none.
    double child_cpu_seconds = 0;
};

// The library's output: points (the input's, then any it added), triangles
// (three point indices each) and, when asked for, neighbours (per triangle,
// the triangle across the edge opposite each corner, -1 for none).
class Triangulation {
public:
    Triangulation();
    ~Triangulation();
    Triangulation(Triangulation&&) noexcept;
    Triangulation& operator=(Triangulation&&) noexcept;

    int point_count() const;
    int triangle_count() const;
    const double* points() const;
    const int* triangles() const;
    const int* neighbours() const;  // nullptr unless TriangleSwitches::neighbours

private:
    friend Triangulation triangulate(const Pslg&, const std::vector<double>&, const TriangleSwitches&,
                                     const TriangleRun&, Stop&);
    std::unique_ptr<TriangleOutput> out_;
};

// Triangulates `graph` with one seed point (x, y) per hole in `hole_seeds`
// (the library eats away the triangles reachable from each without crossing
// a segment). The floating-point environment, which the library's start-up
// changes for the whole thread, is put back on every way out. Throws what
// guarded_triangulate and isolated_triangulate throw (triangle_guard.hpp).
Triangulation triangulate(const Pslg& graph, const std::vector<double>& hole_seeds,
                          const TriangleSwitches& switches, const TriangleRun& run, Stop& stop);

// --- which triangles are inside ------------------------------------------------

// By centroid: the triangle (a, b, c) of `points` has as its test point each
// coordinate's corner sum in double, rounded to float, divided by 3 in float.
cv::Point2f triangle_centroid(const double* points, int a, int b, int c);

// Per triangle of `triangles` (three indices each, `count` triangles): 1 when
// its centroid lies inside or on `outer` and outside every ring of `holes`
// (on a hole ring counts as inside it), with answers identical to
// cv::pointPolygonTest's.
std::vector<char> inside_by_centroid(const double* points, const int* triangles, std::size_t count,
                                     const Loop& outer, const std::vector<Loop>& holes, Stop& stop);

// By segment side, for graphs whose segments run with the meshed region on
// their right in a frame with y up (outer rings clockwise there, holes
// counter-clockwise) and never cross: 1 for each triangle reachable from a
// segment's region side without crossing a segment. Needs the neighbours.
std::vector<char> inside_by_segment_side(const Pslg& graph, const Triangulation& mesh);

// One hole seed per region of triangles not kept (joined across edges that
// are not segments): the centroid of its first triangle. The library locates
// every seed by walking the mesh, so one per triangle would cost minutes on
// a graph with many holes. Needs the neighbours.
std::vector<double> hole_seeds(const Pslg& graph, const Triangulation& mesh, const std::vector<char>& keep);

// Appends the free edges of the kept triangles (a neighbour missing or not
// kept), each as its two corners in the triangle's order. Needs the neighbours.
void free_edges(const Triangulation& mesh, const std::vector<char>& keep, std::vector<std::int32_t>& edges);

}  // namespace vellumcut
