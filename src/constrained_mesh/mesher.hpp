// Constrained Delaunay mesher over the Triangle library.
#pragma once

#include <vector>

#include "interrupt.hpp"
#include "outline.hpp"

namespace vellumcut {

// A triangle mesh: v holds x, y per vertex (row-major N x 2), idx three vertex
// indices per triangle.
struct Mesh {
    std::vector<double> v;
    std::vector<int> idx;
};

// Constrained Delaunay triangulation of the outer ring, the holes and the free
// points, keeping the triangles whose centroid lies inside or on `outer` and
// strictly outside every usable hole.
// `stop` is polled every few milliseconds of the mesher's own work and while
// Triangle runs in a child process; an in-process Triangle call itself is
// not interrupted (see triangle_guard.hpp).
Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                    Stop& stop = no_stop());

// tri_mesh_debug's two steps, exposed for the literal reference that the
// benchmarks and tests compare the filter against.
//
// triangulate_all: checks the outer ring, copies the usable holes into
// `kept_holes` and returns the points and *every* triangle of the constrained
// triangulation over the convex hull, in the library's order.
Mesh triangulate_all(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                     std::vector<Loop>& kept_holes, Stop& stop = no_stop());

// The test point of triangle t: each coordinate the corner sum in double,
// rounded to float, divided by 3 in float.
cv::Point2f triangle_centroid(const Mesh& mesh, std::size_t t);

// Keeps, in order, the triangles whose centroid lies inside or on `outer` and
// outside every kept hole (on a hole ring counts as inside it), with answers
// identical to cv::pointPolygonTest's.
void keep_by_centroid(Mesh& mesh, const Loop& outer, const std::vector<Loop>& kept_holes,
                      Stop& stop = no_stop());

}  // namespace vellumcut
