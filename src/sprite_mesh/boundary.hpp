// Outline rings rebuilt from a triangle mesh: the mesh's free edges walked
// into closed rings. One walker for the sprite mesher (which knows its free
// edges from Triangle's neighbour lists) and for every other mesh (the core's
// earcut and Poisson results, whose free edges are found from the triangles).
//
// Orientation as in sprite_mesh.hpp: every ring keeps the mesh on its right
// in x-right, y-up algebra, so in the y-down mask frame outer rings have a
// negative shoelace area and holes a positive one.
#pragma once

#include <cstdint>
#include <vector>

namespace vellumcut {
namespace sprite {

// Closed rings of the free edges `edges` (pairs a, b, each in the order of
// its triangle's corners; triangles counter-clockwise in y-up algebra),
// outer ring first, then by increasing area. `v` holds x0, y0, x1, y1, ...
std::vector<std::vector<std::int32_t>> boundary_rings(const std::vector<double>& v,
                                                      const std::vector<std::int32_t>& edges);

// The free edges of triangles `idx` (three vertex indices each) over points
// `v`: each triangle is first turned counter-clockwise (y up), triangles
// without area are left out, and an edge is free as often as it is used
// more times in one direction than in the other. Pairs as boundary_rings
// takes them. Throws std::out_of_range for an index outside `v`.
std::vector<std::int32_t> free_edges_of_triangles(const std::vector<double>& v,
                                                  const std::vector<std::int64_t>& idx);

}  // namespace sprite
}  // namespace vellumcut
