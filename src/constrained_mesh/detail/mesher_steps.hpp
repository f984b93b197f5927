// The constrained mesher's steps and switches, for the literal reference, the
// tests and the fuzz target; production code calls constrained_mesh().
#pragma once

#include <cstddef>
#include <vector>

#include "constrained_mesh/mesher.hpp"

namespace vellumcut::detail {

// How the mesher protects itself from Triangle; the defaults are what
// constrained_mesh() uses.
struct MesherOptions {
    // Split crossing, overlapping and point-touching segments first (pslg.hpp).
    bool resolve_crossings = true;
    enum class Isolation { Auto, Unresolved, Always, Never };
    // Auto: Triangle runs in a child process only for graphs to which the
    // splitting added crossing points, or that it left crossing;
    // Unresolved: only for graphs still crossing after the splitting (shows
    // whether split graphs are safe in-process); Always/Never force one way.
    Isolation isolation = Isolation::Auto;
    // Deadline for an isolated call, in seconds; <= 0 means the default
    // that grows with the input.
    double deadline_seconds = 0.0;
};

// What one meshing did, for tests that check the choice of isolation.
struct MesherReport {
    bool isolated = false;  // Triangle ran in a child process
};

// constrained_mesh() with explicit options.
Mesh constrained_mesh(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                      const MesherOptions& options, MesherReport* report = nullptr,
                      Stop& stop = no_stop());

// Checks the outer ring, copies the usable holes into `kept_holes` and returns
// the points and *every* triangle of the constrained triangulation over the
// convex hull, in the library's order.
Mesh triangulate_all(const Loop& outer, const std::vector<Loop>& holes, const Loop& extra,
                     std::vector<Loop>& kept_holes, const MesherOptions& options = {},
                     MesherReport* report = nullptr, Stop& stop = no_stop());

// The test point of triangle t: each coordinate the corner sum in double,
// rounded to float, divided by 3 in float.
cv::Point2f triangle_centroid(const Mesh& mesh, std::size_t t);

// Keeps, in order, the triangles whose centroid lies inside or on `outer` and
// outside every kept hole (on a hole ring counts as inside it), with answers
// identical to cv::pointPolygonTest's.
void keep_by_centroid(Mesh& mesh, const Loop& outer, const std::vector<Loop>& kept_holes,
                      Stop& stop = no_stop());

}  // namespace vellumcut::detail
