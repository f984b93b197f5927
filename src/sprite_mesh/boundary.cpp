// Outline rings rebuilt from triangles (boundary.hpp).
#include "sprite_mesh/boundary.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace vellumcut {
namespace sprite {

// The free edges are walked backwards (b to a), which keeps the mesh on the
// ring's right.
std::vector<std::vector<std::int32_t>> boundary_rings(const std::vector<double>& v,
                                                      const std::vector<std::int32_t>& edges) {
    // Where each free edge leads, walked backwards: the edges out of vertex
    // b are out[start[b] .. start[b] + left[b]), taken from the end.
    const std::size_t nv = v.size() / 2;
    std::vector<int> start(nv + 1, 0), left(nv, 0), out(edges.size() / 2);
    for (std::size_t e = 0; e + 1 < edges.size(); e += 2) ++start[static_cast<std::size_t>(edges[e + 1]) + 1];
    for (std::size_t i = 0; i < nv; ++i) start[i + 1] += start[i];
    for (std::size_t e = 0; e + 1 < edges.size(); e += 2) {
        const auto b = static_cast<std::size_t>(edges[e + 1]);
        out[static_cast<std::size_t>(start[b] + left[b]++)] = edges[e];
    }
    const auto take = [&](int b) {
        const auto i = static_cast<std::size_t>(b);
        return left[i] == 0 ? -1 : out[static_cast<std::size_t>(start[i] + --left[i])];
    };
    // A vertex where the boundary touches itself (two squares meeting at a
    // corner) has two free edges out: the walk cuts a loop off as its own
    // ring whenever it comes back to a vertex of the path, so every ring is
    // simple and never a figure of eight. (The mesher's rings never touch;
    // other meshes' may.)
    std::vector<std::vector<std::int32_t>> rings;
    std::vector<int> at(nv, -1);  // a vertex's place in the path being walked
    for (int s = 0; s < static_cast<int>(nv); ++s) {
        while (left[static_cast<std::size_t>(s)] > 0) {
            std::vector<std::int32_t> path{s};
            at[static_cast<std::size_t>(s)] = 0;
            for (int cur = s; left[static_cast<std::size_t>(s)] > 0 || path.size() > 1;) {
                const int n = take(cur);
                if (n < 0) break;  // a dead end (malformed input): keep what was walked
                const int k = at[static_cast<std::size_t>(n)];
                if (k < 0) {
                    at[static_cast<std::size_t>(n)] = static_cast<int>(path.size());
                    path.push_back(n);
                    cur = n;
                    continue;
                }
                // Back at path[k]: path[k..] is a closed ring.
                rings.emplace_back(path.begin() + k, path.end());
                for (std::size_t i = static_cast<std::size_t>(k) + 1; i < path.size(); ++i) {
                    at[static_cast<std::size_t>(path[i])] = -1;
                }
                path.resize(static_cast<std::size_t>(k) + 1);
                cur = n;
            }
            if (path.size() > 1) rings.push_back(path);  // only after a dead end
            for (const std::int32_t i : path) at[static_cast<std::size_t>(i)] = -1;
        }
    }
    const auto area = [&](const std::vector<std::int32_t>& r) {
        double a = 0;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const int p = r[i], q = r[(i + 1) % r.size()];
            a += v[2 * p] * v[2 * q + 1] - v[2 * q] * v[2 * p + 1];
        }
        return a;
    };
    std::stable_sort(rings.begin(), rings.end(), [&](const auto& a, const auto& b) {
        return area(a) < area(b);  // the outer ring has the most negative area
    });
    return rings;
}

std::vector<std::int32_t> free_edges_of_triangles(const std::vector<double>& v,
                                                  const std::vector<std::int64_t>& idx) {
    const auto nv = static_cast<std::int64_t>(v.size() / 2);
    // Directed edge (a, b) -> times used, keyed a * nv + b.
    std::unordered_map<std::int64_t, int> used;
    used.reserve(idx.size());
    std::vector<std::int64_t> order;  // first use of each directed edge, for a stable result
    order.reserve(idx.size());
    for (std::size_t t = 0; t + 2 < idx.size(); t += 3) {
        std::int64_t a = idx[t], b = idx[t + 1], c = idx[t + 2];
        for (const std::int64_t i : {a, b, c}) {
            if (i < 0 || i >= nv) throw std::out_of_range("triangle index out of range");
        }
        const auto x = [&](std::int64_t i) { return v[2 * static_cast<std::size_t>(i)]; };
        const auto y = [&](std::int64_t i) { return v[2 * static_cast<std::size_t>(i) + 1]; };
        const double cross = (x(b) - x(a)) * (y(c) - y(a)) - (x(c) - x(a)) * (y(b) - y(a));
        // Twice the area: triangles of 1e-12 px^2 or less cover nothing.
        if (std::abs(cross) <= 2e-12) continue;
        if (cross < 0) std::swap(b, c);
        for (const auto& [p, q] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}}) {
            const std::int64_t key = p * nv + q;
            if (used[key]++ == 0) order.push_back(key);
        }
    }
    std::vector<std::int32_t> edges;
    for (const std::int64_t key : order) {
        const std::int64_t p = key / nv, q = key % nv;
        const auto back = used.find(q * nv + p);
        for (int n = used[key] - (back == used.end() ? 0 : back->second); n > 0; --n) {
            edges.push_back(static_cast<std::int32_t>(p));
            edges.push_back(static_cast<std::int32_t>(q));
        }
    }
    return edges;
}

}  // namespace sprite
}  // namespace vellumcut
