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
// strictly outside every usable hole. Throws std::runtime_error("outer ring
// degenerate") for an outer ring of fewer than 3 points or no area,
// std::invalid_argument for a non-finite coordinate. `stop` is polled every
// few milliseconds of the mesher's own work and while Triangle runs in a
// child process (which every input of a million points or more does).
Mesh constrained_mesh(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                      Stop& stop = no_stop());

// The same under the name Python knows it by; only the bindings call it.
Mesh tri_mesh_debug(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                    Stop& stop = no_stop());

}  // namespace vellumcut
