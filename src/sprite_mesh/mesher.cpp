// The sprite mesher: islands and holes of the opaque mask, traced on pixel
// edges, padded with Clipper, simplified outwards, fitted to the vertex
// budget and triangulated with Triangle.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <opencv2/imgproc.hpp>
#include <polyclipping/clipper.hpp>

#include "constrained_mesh/triangle_guard.hpp"
#include "constrained_mesh/triangle_output.hpp"
#include "mask/limits.hpp"
#include "outline.hpp"
#include "sprite_mesh/boundary.hpp"
#include "sprite_mesh/line_fit.hpp"
#include "sprite_mesh/predicates.hpp"
#include "sprite_mesh/reduce.hpp"
#include "sprite_mesh/rings.hpp"
#include "sprite_mesh/sprite_mesh.hpp"


namespace vellumcut {
namespace sprite {

double auto_spacing(double pixels) { return std::max(4.0, std::sqrt(std::max(pixels, 0.0) / 48.0)); }

void validate(const Options& o) {
    const auto bad = [](const char* option, const std::string& requirement) {
        throw OptionRefused(option, requirement);
    };
    if (o.alpha_threshold < 0 || o.alpha_threshold > 254) bad("alpha_threshold", "must be within 0..254");
    if (!std::isfinite(o.tolerance) || o.tolerance < 0) bad("tolerance", "must be a finite number >= 0");
    if (o.tolerance > 1000) bad("tolerance", "must be at most 1000 px");
    if (!std::isfinite(o.padding) || o.padding < 0) bad("padding", "must be a finite number >= 0");
    if (o.padding > 1024) bad("padding", "must be at most 1024 px");
    if (o.padding > 0 && o.tolerance < kMinPaddedTolerance) {
        bad("tolerance", "must be at least 0.2 px when padding is above 0 (the padding's round corners are "
                         "straight chords, which need that much room beyond it)");
    }
    if (o.max_vertices != 0 && o.max_vertices < 3) bad("max_vertices", "must be at least 3 (or none for no cap)");
    if (!std::isfinite(o.spacing) || o.spacing < 0) bad("spacing", "must be a finite number > 0 (or 'auto')");
    if (o.spacing != 0 && o.spacing < 1) bad("spacing", "must be at least 1 px");
    if (!std::isfinite(o.min_angle) || o.min_angle <= 0 || o.min_angle > kMaxMinAngle) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "must be above 0 and at most %.0f degrees (Triangle's refinement "
                      "stops converging above that)",
                      kMaxMinAngle);
        bad("min_angle", text);
    }
    if (o.min_island_area < 1) bad("min_island_area", "must be at least 1");
    if (o.min_hole_area < 0) bad("min_hole_area", "must be at least 0");
}

namespace {

// The fixed tolerances (px) of the line fits the reducer may start from:
// each is a start once the tolerance reaches it.
constexpr double kFitLevels[] = {1, 1.5, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};

struct Part {
    std::vector<IRing> orig;  // [0] outer, then holes, before simplification
    std::vector<char> bridged;  // parallel to orig: the ring cuts a corner
    std::vector<IRing> cur;
    std::vector<std::vector<int>> kids;  // per ring: parts inside that hole
    std::int64_t pixels = 0;  // opaque pixels of the island (unpadded parts)
};

struct Geometry {
    std::vector<Part> parts;
    std::int64_t opaque = 0;  // opaque pixels the parts hold
};

// Parts straight from the traced islands: small islands dropped, small holes
// filled together with whatever lies inside them.
Geometry islands_to_parts(const std::vector<TracedRing>& rings, const Options& o) {
    const int n = static_cast<int>(rings.size());
    std::vector<std::vector<int>> holes(n);   // island (outer ring) -> its hole rings
    std::vector<std::vector<int>> inside(n);  // gap (hole ring) -> islands in it
    // Pixels: an island's outer ring less its holes; a gap's hole ring less
    // the islands inside it.
    std::vector<std::int64_t> pixels(n);
    for (int i = 0; i < n; ++i) pixels[i] = rings[i].area;
    for (int i = 0; i < n; ++i) {
        const TracedRing& r = rings[i];
        if (r.hole) {
            holes[r.island].push_back(i);
            pixels[r.island] -= r.area;
        } else if (r.gap >= 0) {
            inside[r.gap].push_back(i);
            pixels[r.gap] -= r.area;
        }
    }
    std::vector<char> gone(n, 0);
    std::vector<int> stack;
    const auto cover = [&](int gap) {
        stack.assign(inside[gap].begin(), inside[gap].end());
        while (!stack.empty()) {
            const int isl = stack.back();
            stack.pop_back();
            if (gone[isl]) continue;
            gone[isl] = 1;
            for (int h : holes[isl]) stack.insert(stack.end(), inside[h].begin(), inside[h].end());
        }
    };
    // Rings come in raster order, so an island before the islands in its
    // holes: one that is dropped fills nothing, and the islands in its small
    // holes stay (unless they are small too).
    for (int isl = 0; isl < n; ++isl) {
        if (rings[isl].hole || (!gone[isl] && pixels[isl] < o.min_island_area)) continue;
        for (int h : holes[isl]) {
            if (pixels[h] < o.min_hole_area) cover(h);
        }
    }
    Geometry g;
    std::vector<int> part_of(n, -1);
    for (int isl = 0; isl < n; ++isl) {
        if (rings[isl].hole || gone[isl] || pixels[isl] < o.min_island_area) continue;
        part_of[isl] = static_cast<int>(g.parts.size());
        g.parts.emplace_back();
    }
    for (int isl = 0; isl < n; ++isl) {
        if (!rings[isl].hole && (gone[isl] || part_of[isl] >= 0)) g.opaque += pixels[isl];
    }
    for (int isl = 0; isl < n; ++isl) {
        if (part_of[isl] < 0) continue;
        Part& p = g.parts[part_of[isl]];
        p.pixels = pixels[isl];
        p.orig.push_back(rings[isl].pts);
        p.bridged.push_back(rings[isl].bridged);
        p.kids.emplace_back();
        for (int h : holes[isl]) {
            if (pixels[h] < o.min_hole_area) continue;
            p.orig.push_back(rings[h].pts);
            p.bridged.push_back(rings[h].bridged);
            p.kids.emplace_back();
            for (int c : inside[h]) {
                if (part_of[c] >= 0) p.kids.back().push_back(part_of[c]);
            }
        }
    }
    return g;
}

IRing from_clipper(const ClipperLib::Path& path, bool hole) {
    IRing r;
    r.reserve(path.size());
    for (const auto& q : path) r.push_back({q.X, q.Y});
    if ((area2(r) > 0) != hole) std::reverse(r.begin(), r.end());
    start_top_left(r);
    return r;
}

void add_tree(Geometry& g, const ClipperLib::PolyNode& node, std::vector<int>* kids) {
    // `node` is an outer contour; its children are holes, theirs outers.
    const int id = static_cast<int>(g.parts.size());
    if (kids != nullptr) kids->push_back(id);
    g.parts.emplace_back();
    g.parts[id].orig.push_back(from_clipper(node.Contour, false));
    g.parts[id].kids.emplace_back();
    for (const ClipperLib::PolyNode* hole : node.Childs) {
        if (hole->Contour.size() < 3) continue;
        g.parts[id].orig.push_back(from_clipper(hole->Contour, true));
        g.parts[id].kids.emplace_back();
        const int k = static_cast<int>(g.parts[id].kids.size()) - 1;
        for (const ClipperLib::PolyNode* inner : hole->Childs) {
            if (inner->Contour.size() < 3) continue;
            std::vector<int> found;
            add_tree(g, *inner, &found);
            g.parts[id].kids[k].insert(g.parts[id].kids[k].end(), found.begin(), found.end());
        }
    }
}

// Every opaque pixel square grown by `delta` units, as one union.
Geometry pad(const Geometry& in, double delta, double arc) {
    // Clipper rounds each join's number of steps to the nearest whole one,
    // which can make a step up to 1.5 times the nominal angle and its chord
    // sag up to 2.25 times the tolerance asked for: ask for a third.
    ClipperLib::ClipperOffset co(2.0, arc / 3);
    for (const Part& p : in.parts) {
        for (const IRing& r : p.orig) {
            ClipperLib::Path path;
            path.reserve(r.size());
            for (const P& q : r) path.push_back({q.x, q.y});
            co.AddPath(path, ClipperLib::jtRound, ClipperLib::etClosedPolygon);
        }
    }
    ClipperLib::Paths offset;
    co.Execute(offset, delta);
    // The offset's union rounds the points where it cuts edges to whole
    // units, which can make the two sides of a thin slit cross; a second,
    // strictly simple union of the rounded rings takes such crossings apart.
    ClipperLib::Clipper simple;
    simple.StrictlySimple(true);
    simple.AddPaths(offset, ClipperLib::ptSubject, true);
    ClipperLib::PolyTree tree;
    simple.Execute(ClipperLib::ctUnion, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero);
    Geometry g;
    for (const ClipperLib::PolyNode* node : tree.Childs) {
        if (node->Contour.size() >= 3) add_tree(g, *node, nullptr);
    }
    return g;
}

// --- triangulation --------------------------------------------------------------

struct Pslg {
    std::vector<double> pts;  // units
    std::vector<int> segs;
    std::unordered_map<std::uint64_t, int> index;
    int add(double x, double y) {
        pts.push_back(x);
        pts.push_back(y);
        return static_cast<int>(pts.size() / 2 - 1);
    }
    int add(const P& q) {
        const std::uint64_t key = (static_cast<std::uint64_t>(q.x + (1LL << 31)) << 32) |
                                  static_cast<std::uint64_t>(q.y + (1LL << 31));
        auto it = index.find(key);
        if (it != index.end()) return it->second;
        const int i = add(static_cast<double>(q.x), static_cast<double>(q.y));
        index.emplace(key, i);
        return i;
    }
};

void run_triangle(const std::string& sw, Pslg& g, const std::vector<double>& holes, TriangleOutput& out, const Stop& stop) {
    triangulateio in;
    std::memset(&in, 0, sizeof in);
    in.pointlist = g.pts.data();
    in.numberofpoints = static_cast<int>(g.pts.size() / 2);
    in.segmentlist = g.segs.data();
    in.numberofsegments = static_cast<int>(g.segs.size() / 2);
    std::vector<double> hl(holes);
    in.holelist = hl.empty() ? nullptr : hl.data();
    in.numberofholes = static_cast<int>(hl.size() / 2);
    std::vector<char> switches(sw.begin(), sw.end());
    switches.push_back('\0');
    guarded_triangulate(switches.data(), &in, &out.io, &stop);
}

// Indices of the triangles of `out` inside the part: those reachable from a
// segment's mesh side without crossing a segment. Needs the neighbour list.
// Which pairs of points are segments, and which way they run. Every ring
// point starts one segment (rings never touch), so one array does; a point
// that started two would go to the set.
class SegmentIndex {
public:
    explicit SegmentIndex(const Pslg& g) : next_(g.pts.size() / 2, -1) {
        for (std::size_t i = 0; i + 1 < g.segs.size(); i += 2) {
            const int a = g.segs[i], b = g.segs[i + 1];
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

std::vector<char> inside_triangles(const Pslg& g, const TriangleOutput& out) {
    const int nt = out.io.numberoftriangles;
    const SegmentIndex dir(g);
    const double* pt = out.io.pointlist;
    const int* tri = out.io.trianglelist;
    const int* nb = out.io.neighborlist;
    std::vector<char> state(nt, 0);  // 0 unknown, 1 in, 2 out
    std::vector<int> stack;
    for (int t = 0; t < nt; ++t) {
        for (int k = 0; k < 3; ++k) {
            const int u = tri[3 * t + (k + 1) % 3], v = tri[3 * t + (k + 2) % 3], w = tri[3 * t + k];
            const int way = dir.way(u, v);
            if (way == 0) continue;
            const int a = way > 0 ? u : v, b = way > 0 ? v : u;
            const double c = (pt[2 * b] - pt[2 * a]) * (pt[2 * w + 1] - pt[2 * a + 1]) -
                             (pt[2 * b + 1] - pt[2 * a + 1]) * (pt[2 * w] - pt[2 * a]);
            const char s = c < 0 ? 1 : 2;
            if (state[t] == 0) {
                state[t] = s;
                stack.push_back(t);
            }
        }
    }
    while (!stack.empty()) {
        const int t = stack.back();
        stack.pop_back();
        for (int k = 0; k < 3; ++k) {
            const int n = nb[3 * t + k];
            if (n < 0 || state[n] != 0) continue;
            const int u = tri[3 * t + (k + 1) % 3], v = tri[3 * t + (k + 2) % 3];
            if (dir.way(u, v) != 0) continue;
            state[n] = state[t];
            stack.push_back(n);
        }
    }
    std::vector<char> in(nt);
    for (int t = 0; t < nt; ++t) in[t] = state[t] != 2;
    return in;
}

// The free edges of the kept triangles (a neighbour missing or not kept),
// each as its two corners in the triangle's order.
void free_edges(const TriangleOutput& out, const std::vector<char>& keep, std::vector<std::int32_t>& edges) {
    const int* tri = out.io.trianglelist;
    const int* nb = out.io.neighborlist;
    for (int t = 0; t < out.io.numberoftriangles; ++t) {
        if (!keep[t]) continue;
        for (int k = 0; k < 3; ++k) {
            const int n = nb[3 * t + k];
            if (n >= 0 && keep[n]) continue;
            edges.push_back(tri[3 * t + (k + 1) % 3]);
            edges.push_back(tri[3 * t + (k + 2) % 3]);
        }
    }
}

std::mt19937 part_engine(const Options& o, std::size_t part) {
    if (!o.seeded) {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd()};
        return std::mt19937(seq);
    }
    std::seed_seq seq{static_cast<std::uint32_t>(o.seed), static_cast<std::uint32_t>(o.seed >> 32),
                      static_cast<std::uint32_t>(part)};
    return std::mt19937(seq);
}

// Poisson-disk points no two closer than `r` where `allowed` (CV_8UC1, one
// cell per px, point (x, y) in px looks at pixel (round x, round y)) is
// nonzero: Bridson's method, with the candidates around an active point
// spread evenly round a circle just over r from a random start (Roberts'
// variant), which packs about as densely with a dozen tries as random
// candidates in the annulus do with thirty, and needs no trigonometry per
// candidate. Candidates are only taken where allowed, so the growth is
// seeded again in every region it has not reached.
std::vector<cv::Point2d> disk_points(const cv::Mat& allowed, double r, std::mt19937& engine, Stop& stop) {
    constexpr int kTries = 12;
    const int w = allowed.cols, h = allowed.rows;
    const double cell = r / std::sqrt(2.0);
    const int gc = static_cast<int>(std::ceil(w / cell)) + 1, gr = static_cast<int>(std::ceil(h / cell)) + 1;
    std::vector<std::int32_t> grid(static_cast<std::size_t>(gc) * static_cast<std::size_t>(gr), -1);
    std::vector<cv::Point2d> pts;
    std::vector<std::int32_t> active;
    const double r2 = r * r, rho = r * (1 + 1e-6);
    const double step_c = std::cos(2 * CV_PI / kTries), step_s = std::sin(2 * CV_PI / kTries);
    const auto unit = [&] { return static_cast<double>(engine()) * (1.0 / 4294967296.0); };
    const auto cell_of = [&](const cv::Point2d& q) {
        return std::make_pair(static_cast<int>(q.x / cell), static_cast<int>(q.y / cell));
    };
    const auto fits = [&](const cv::Point2d& q) {
        if (!(q.x >= 0 && q.y >= 0 && q.x < w - 0.5 && q.y < h - 0.5)) return false;
        if (!allowed.ptr<std::uint8_t>(static_cast<int>(q.y + 0.5))[static_cast<int>(q.x + 0.5)]) return false;
        const auto [cx, cy] = cell_of(q);
        for (int y = std::max(cy - 2, 0); y <= std::min(cy + 2, gr - 1); ++y) {
            const std::int32_t* row = grid.data() + static_cast<std::size_t>(y) * gc;
            for (int x = std::max(cx - 2, 0); x <= std::min(cx + 2, gc - 1); ++x) {
                const std::int32_t i = row[x];
                if (i < 0) continue;
                const double dx = pts[i].x - q.x, dy = pts[i].y - q.y;
                if (dx * dx + dy * dy < r2) return false;
            }
        }
        return true;
    };
    const auto accept = [&](const cv::Point2d& q) {
        const auto [cx, cy] = cell_of(q);
        grid[static_cast<std::size_t>(cy) * gc + cx] = static_cast<std::int32_t>(pts.size());
        active.push_back(static_cast<std::int32_t>(pts.size()));
        pts.push_back(q);
    };
    std::size_t visits = 0;
    // Seeds: a random point in each grid cell in turn, where it fits.
    for (int sy = 0; sy < gr; ++sy) {
        for (int sx = 0; sx < gc; ++sx) {
            if (grid[static_cast<std::size_t>(sy) * gc + sx] >= 0) continue;
            const cv::Point2d seed((sx + unit()) * cell, (sy + unit()) * cell);
            if (!fits(seed)) continue;
            accept(seed);
            while (!active.empty()) {
                if ((++visits & 4095) == 0) stop.poll();
                const std::size_t k = static_cast<std::size_t>(unit() * static_cast<double>(active.size()));
                const cv::Point2d p = pts[active[k]];
                const double a = 2 * CV_PI * unit();
                double c = std::cos(a), s = std::sin(a);
                bool found = false;
                for (int t = 0; t < kTries && !found; ++t) {
                    const cv::Point2d q(p.x + rho * c, p.y + rho * s);
                    if (fits(q)) {
                        accept(q);
                        found = true;
                    }
                    const double nc = c * step_c - s * step_s;
                    s = s * step_c + c * step_s;
                    c = nc;
                }
                if (!found) {
                    active[k] = active.back();
                    active.pop_back();
                }
            }
        }
    }
    return pts;
}

// Poisson-disk points `spacing` apart inside the part, at least `clear` px
// from every ring: the part is filled into a raster of its bounding box, and
// a band round every ring (with a pixel and a half of slack for the
// rasterising) is cleared before sampling.
void add_poisson(const Part& part, double spacing, double clear, std::mt19937& engine, Pslg& g, Stop& stop) {
    std::int64_t lx = part.cur[0][0].x, hx = lx, ly = part.cur[0][0].y, hy = ly;
    for (const P& q : part.cur[0]) {
        lx = std::min(lx, q.x);
        hx = std::max(hx, q.x);
        ly = std::min(ly, q.y);
        hy = std::max(hy, q.y);
    }
    const std::int64_t ox = lx / kUnit - 1, oy = ly / kUnit - 1;
    const int bw = static_cast<int>((hx - lx) / kUnit + 3), bh = static_cast<int>((hy - ly) / kUnit + 3);
    if (bw < 2 * clear || bh < 2 * clear) return;
    cv::Mat raster = cv::Mat::zeros(bh, bw, CV_8UC1);
    std::vector<std::vector<cv::Point>> polys;
    for (const IRing& r : part.cur) {
        polys.emplace_back();
        for (const P& q : r) {
            polys.back().emplace_back(static_cast<int>(q.x - ox * kUnit), static_cast<int>(q.y - oy * kUnit));
        }
    }
    static_assert(kUnit == 64, "the drawing functions' shift is log2(kUnit)");
    cv::fillPoly(raster, polys, cv::Scalar(255), cv::LINE_8, 6);
    const int band = static_cast<int>(std::min(2 * std::ceil(clear + 1.5) + 1, 32767.0));
    cv::polylines(raster, polys, true, cv::Scalar(0), band, cv::LINE_8, 6);
    stop.poll();
    for (const cv::Point2d& q : disk_points(raster, spacing, engine, stop)) {
        g.add((q.x + static_cast<double>(ox)) * kUnit, (q.y + static_cast<double>(oy)) * kUnit);
    }
}

// Triangle puts the points it adds on outline segments (and mesh_part its
// splits) by rounded interpolation, which can land a point a rounding step
// on the mesh side of its segment; the outline then cuts, by 1e-16 px, the
// corner of a pixel the segment only touches. Every ring point between two
// of the part's corners (`v` in units, rings from the free `edges`) goes
// back exactly onto their segment, at a parameter rounded to 2^-30: units
// below 2^21 times that are at most 2^51, so the doubles hold the point
// exactly, and so do the mask frame's (a division by 64 and a shift).
void snap_to_segments(const Part& part, std::vector<double>& v, const std::vector<std::int32_t>& edges) {
    std::unordered_set<std::uint64_t> corners;
    const auto key = [](std::int64_t x, std::int64_t y) {
        return (static_cast<std::uint64_t>(x + (1LL << 31)) << 32) | static_cast<std::uint64_t>(y + (1LL << 31));
    };
    for (const IRing& r : part.cur) {
        for (const P& q : r) corners.insert(key(q.x, q.y));
    }
    const auto corner = [&](std::int32_t i) {
        const double x = v[2 * static_cast<std::size_t>(i)], y = v[2 * static_cast<std::size_t>(i) + 1];
        return std::floor(x) == x && std::floor(y) == y &&
               corners.count(key(static_cast<std::int64_t>(x), static_cast<std::int64_t>(y))) != 0;
    };
    constexpr double kSteps = 1073741824.0;  // 2^30
    for (const std::vector<std::int32_t>& ring : boundary_rings(v, edges)) {
        const std::size_t n = ring.size();
        std::size_t first = n;
        for (std::size_t k = 0; k < n && first == n; ++k) {
            if (corner(ring[k])) first = k;
        }
        if (first == n) continue;
        for (std::size_t k = first, done = 0; done < n;) {
            std::size_t next = (k + 1) % n, between = 0;
            while (!corner(ring[next])) {
                next = (next + 1) % n;
                ++between;
            }
            const std::size_t a = 2 * static_cast<std::size_t>(ring[k]), b = 2 * static_cast<std::size_t>(ring[next]);
            const auto ax = static_cast<std::int64_t>(v[a]), ay = static_cast<std::int64_t>(v[a + 1]);
            const std::int64_t dx = static_cast<std::int64_t>(v[b]) - ax, dy = static_cast<std::int64_t>(v[b + 1]) - ay;
            const double len2 = static_cast<double>(dx * dx + dy * dy);
            for (std::size_t m = 1; m <= between && len2 > 0; ++m) {
                const std::size_t p = 2 * static_cast<std::size_t>(ring[(k + m) % n]);
                const double t = ((v[p] - static_cast<double>(ax)) * static_cast<double>(dx) +
                                  (v[p + 1] - static_cast<double>(ay)) * static_cast<double>(dy)) / len2;
                const auto steps = std::clamp<std::int64_t>(std::llround(t * kSteps), 1, (1LL << 30) - 1);
                v[p] = static_cast<double>(ax) + static_cast<double>(steps * dx) / kSteps;
                v[p + 1] = static_cast<double>(ay) + static_cast<double>(steps * dy) / kSteps;
            }
            done += between + 1;
            k = next;
        }
    }
}

PartMesh mesh_part(const Part& part, std::size_t index, const Options& o, int border, Stop& stop) {
    Pslg g;
    double area_px = 0;
    std::size_t boundary = 0;
    for (const IRing& r : part.cur) {
        area_px -= static_cast<double>(area2(r)) / 2 / (kUnit * kUnit);
        boundary += r.size();
    }
    const double spacing = o.spacing > 0 ? o.spacing : auto_spacing(area_px);
    const double split = o.interior == Interior::poisson ? spacing * kUnit : 0;
    for (const IRing& r : part.cur) {
        const int first = g.add(r[0]);
        int prev = first;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const P& a = r[i];
            const P& b = r[(i + 1) % r.size()];
            const int end = i + 1 < r.size() ? g.add(b) : first;
            const double len = std::hypot(static_cast<double>(b.x - a.x), static_cast<double>(b.y - a.y));
            if (split > 0 && len > split) {
                // Boundary points about `spacing` apart, so the edge band is
                // not a row of needles.
                const int pieces = static_cast<int>(std::ceil(len / split));
                for (int k = 1; k < pieces; ++k) {
                    const double t = static_cast<double>(k) / pieces;
                    const int m = g.add(static_cast<double>(a.x) + t * static_cast<double>(b.x - a.x),
                                        static_cast<double>(a.y) + t * static_cast<double>(b.y - a.y));
                    g.segs.push_back(prev);
                    g.segs.push_back(m);
                    prev = m;
                }
            }
            g.segs.push_back(prev);
            g.segs.push_back(end);
            prev = end;
        }
    }
    const bool holes = part.cur.size() > 1;
    std::vector<double> v;
    std::vector<std::int32_t> idx;
    std::vector<std::int32_t> edges;  // free edges of the result
    {
        TriangleOutput first;
        // The outline alone: the result for "none", and where the holes are
        // for refinement (which without holes needs no first pass).
        if (holes || o.interior == Interior::none) run_triangle("pzQBPn", g, {}, first, stop);
        std::vector<char> keep(first.io.numberoftriangles, 1);
        if (holes) keep = inside_triangles(g, first);
        if (o.interior == Interior::none) {
            v.assign(first.io.pointlist, first.io.pointlist + 2 * first.io.numberofpoints);
            for (int t = 0; t < first.io.numberoftriangles; ++t) {
                if (!keep[t]) continue;
                idx.insert(idx.end(), first.io.trianglelist + 3 * t, first.io.trianglelist + 3 * t + 3);
            }
            free_edges(first, keep, edges);
        } else {
            // Refinement (of the Poisson points too) needs one point inside
            // each hole; any triangle outside the part lies in a hole
            // (Triangle already removed those outside the outer ring). One
            // per region of outside triangles joined across non-segment
            // edges: Triangle locates every hole point by walking the mesh,
            // so one per triangle costs minutes on a part with many holes.
            std::vector<double> hole_pts;
            if (holes) {
                const SegmentIndex seg_index(g);
                const double* pt = first.io.pointlist;
                const int* tri = first.io.trianglelist;
                const int* nb = first.io.neighborlist;
                std::vector<char> taken(first.io.numberoftriangles, 0);
                std::vector<int> stack;
                for (int t = 0; t < first.io.numberoftriangles; ++t) {
                    if (keep[t] || taken[t]) continue;
                    const int* c = tri + 3 * t;
                    hole_pts.push_back((pt[2 * c[0]] + pt[2 * c[1]] + pt[2 * c[2]]) / 3);
                    hole_pts.push_back((pt[2 * c[0] + 1] + pt[2 * c[1] + 1] + pt[2 * c[2] + 1]) / 3);
                    taken[t] = 1;
                    stack.assign(1, t);
                    while (!stack.empty()) {
                        const int u = stack.back();
                        stack.pop_back();
                        for (int k = 0; k < 3; ++k) {
                            const int w = nb[3 * u + k];
                            if (w < 0 || keep[w] || taken[w]) continue;
                            if (seg_index.way(tri[3 * u + (k + 1) % 3], tri[3 * u + (k + 2) % 3]) != 0) continue;
                            taken[w] = 1;
                            stack.push_back(w);
                        }
                    }
                }
            }
            if (o.interior == Interior::poisson) {
                std::mt19937 engine = part_engine(o, index);
                add_poisson(part, spacing, 0.5 * spacing, engine, g, stop);
            }
            char sw[128];
            if (o.interior == Interior::poisson) {
                // The Poisson points stay; Triangle adds only the few points
                // that lift the triangles along the outline to min_angle.
                std::snprintf(sw, sizeof sw, "pzQBPnq%.6fS%.0f", o.min_angle, 4.0 * static_cast<double>(g.pts.size() / 2) + 1000);
            } else {
                const double max_area = std::sqrt(3.0) / 4 * spacing * spacing;
                const double cap = 4.0 * area_px / max_area + 20.0 * static_cast<double>(boundary) + 1000;
                std::snprintf(sw, sizeof sw, "pzQBPnq%.6fa%.6fS%.0f", o.min_angle, max_area * kUnit * kUnit, cap);
            }
            stop.poll();
            TriangleOutput second;
            run_triangle(sw, g, hole_pts, second, stop);
            v.assign(second.io.pointlist, second.io.pointlist + 2 * second.io.numberofpoints);
            idx.assign(second.io.trianglelist, second.io.trianglelist + 3 * second.io.numberoftriangles);
            free_edges(second, std::vector<char>(second.io.numberoftriangles, 1), edges);
        }
    }
    if (o.interior != Interior::none) snap_to_segments(part, v, edges);
    // Drop points no triangle uses, then move to the mask frame.
    std::vector<std::int32_t> remap(v.size() / 2, -1);
    PartMesh pm;
    for (std::int32_t& i : idx) {
        if (remap[i] < 0) {
            remap[i] = static_cast<std::int32_t>(pm.v.size() / 2);
            pm.v.push_back(v[2 * i] / kUnit - 1.5 + border);
            pm.v.push_back(v[2 * i + 1] / kUnit - 1.5 + border);
        }
        i = remap[i];
    }
    pm.idx = std::move(idx);
    for (std::int32_t& i : edges) i = remap[i];
    pm.rings = boundary_rings(pm.v, edges);
    return pm;
}

}  // namespace

Result mesh_opaque(const cv::Mat& opaque, const Options& o, Stop& stop) {
    if (opaque.empty() || opaque.type() != CV_8UC1) throw std::invalid_argument("image: empty or not a mask");
    cv::Mat framed;
    cv::copyMakeBorder(opaque, framed, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
    return mesh_framed(framed, o, stop);
}

Result mesh_framed(const Opaque& framed, const Options& o, Stop& stop) {
    validate(o);
    if (framed.rows < 3 || framed.cols < 3 || framed.type() != CV_8UC1) {
        throw std::invalid_argument("image: empty or not a mask");
    }
    const int H = framed.rows - 2, W = framed.cols - 2;
    if (!bordered_size_fits(W, H, o.margin)) {
        throw OptionRefused("margin", "is too large for this image: the mask with its border would exceed " +
                                          std::to_string(kMaxMaskPixels) + " pixels");
    }
    const int border = std::max(o.margin, 0);
    Result res;
    res.w = W + 2 * border;
    res.h = H + 2 * border;

    // The outline may stray outwards by the corner bridges (a chord `bridge`
    // units into a transparent pixel lies within bridge / sqrt 2 of the
    // opaque ones) and, padded, by how far the padded rings lie beyond the
    // padding: the offset's extra `arc` + 1 (below) and three roundings to
    // whole units of up to sqrt 2 / 2 each (the offset's points, and the
    // points where the two unions in pad() cut edges). The reducer
    // gets what is left of the tolerance; validate() keeps that from going
    // negative (kMinPaddedTolerance). The padding swallows the bridges, so
    // padded ones are a unit wide.
    const double tol = o.tolerance * kUnit;
    const std::int64_t bridge =
        o.padding > 0 ? 1
                      : std::clamp<std::int64_t>(
                            static_cast<std::int64_t>(std::floor(std::min(0.25, o.tolerance) * kUnit)), 1, 16);
    // The round joins of the padding are drawn to a fixed fineness, so that
    // the rings the reducer starts from do not depend on the tolerance.
    const double arc = 0.125 * kUnit;
    std::vector<TracedRing> rings = trace_rings(framed, bridge, stop);
    if (rings.empty()) return res;
    const double bridge_slack = static_cast<double>(bridge) * 0.7072;
    bool any_bridged = false;
    for (const TracedRing& r : rings) any_bridged = any_bridged || r.bridged;
    // What each ring has strayed before the reducer starts, added to its
    // steps' keys: padded rings come from all of them (corner cuts, and the
    // chords and rounding of the joins); unpadded ones pay only for their
    // own corner cuts.
    const double pad_slack = (any_bridged ? 2 * bridge_slack : 0.0) + arc + 1 + 3 * 0.7072;
    const auto ring_slack = [&](const Part& p, std::size_t r) {
        if (o.padding > 0) return pad_slack;
        return r < p.bridged.size() && p.bridged[r] ? bridge_slack : 0.0;
    };
    Geometry g = islands_to_parts(rings, o);
    rings.clear();
    const std::int64_t opaque_px = g.opaque;
    if (o.padding > 0) {
        // Chords of the round joins lie inside the circle by up to `arc`:
        // offset by that much more (and a unit for Clipper's rounding) so
        // that every pixel keeps `padding` of mesh around it.
        g = pad(g, o.padding * kUnit + arc + 1, arc);
        stop.poll();
    }
    if (g.parts.empty()) return res;
    long long budget = o.max_vertices;
    if (budget > 0) {
        const long long least = 3 * static_cast<long long>(g.parts.size());
        if (budget < least && !o.strict_budget) budget = least;
        if (budget < least) {
            throw OptionRefused("max_vertices", "is " + std::to_string(o.max_vertices) +
                                        ", but this sprite needs at least " + std::to_string(least) +
                                        " outline vertices (3 for each of its " + std::to_string(g.parts.size()) +
                                        (g.parts.size() == 1 ? " island)" : " islands)"));
        }
    }

    std::int64_t lx = g.parts[0].orig[0][0].x, ly = g.parts[0].orig[0][0].y, hx = lx, hy = ly;
    for (const Part& p : g.parts) {
        for (const P& q : p.orig[0]) {
            lx = std::min(lx, q.x);
            hx = std::max(hx, q.x);
            ly = std::min(ly, q.y);
            hy = std::max(hy, q.y);
        }
    }
    // Collapsed corners may reach out a quarter of the sprite beyond its
    // outline (under a tight budget).
    const std::int64_t reach = std::max<std::int64_t>(std::max(hx - lx, hy - ly) / 4, 64 * kUnit);
    const auto reducer = [&](LineFit* fit, double fit_tol) {
        auto red = std::make_unique<Reducer>(lx - kUnit, ly - kUnit, hx + kUnit, hy + kUnit, reach);
        std::vector<std::vector<int>> ids(g.parts.size()), fit_ids(g.parts.size());
        std::vector<int> anchors;
        if (fit != nullptr) {
            // Every ring goes in as it stands before any is fitted: lines
            // must not cross rings still to come.
            for (std::size_t p = 0; p < g.parts.size(); ++p) {
                for (const IRing& r : g.parts[p].orig) {
                    stop.poll();
                    fit_ids[p].push_back(fit->add(r));
                }
            }
        }
        for (std::size_t p = 0; p < g.parts.size(); ++p) {
            const Part& part = g.parts[p];
            for (std::size_t r = 0; r < part.orig.size(); ++r) {
                stop.poll();
                const double slack = ring_slack(part, r);
                if (fit == nullptr) {
                    ids[p].push_back(red->add_ring(part.orig[r], static_cast<int>(p), r > 0, slack));
                } else {
                    const int id = fit_ids[p][r];
                    const IRing start = fit->simplify(id, part.orig[r], std::max(0.0, fit_tol - slack), stop, anchors);
                    ids[p].push_back(red->add_ring(part.orig[r], start, anchors, static_cast<int>(p), r > 0, slack));
                }
            }
        }
        for (std::size_t p = 0; p < g.parts.size(); ++p) {
            for (std::size_t r = 1; r < g.parts[p].orig.size(); ++r) red->set_inside(ids[p][r], g.parts[p].kids[r]);
        }
        red->reduce_tolerance(tol, stop);
        return red;
    };
    // Several starts, the same steps: the traced rings, and (once the
    // tolerance reaches each) lines fitted at fixed tolerances, which the
    // steps alone cannot find from a pixel staircase. No start depends on
    // the tolerance and each loses vertices as it grows; the starts on
    // offer only ever grow in number with it, so the fewest of them does
    // too.
    std::unique_ptr<Reducer> best = reducer(nullptr, 0);
    std::size_t corners = 0;
    for (const Part& p : g.parts) {
        for (const IRing& r : p.orig) corners += r.size();
    }
    for (const double level : kFitLevels) {
        if (tol < level * kUnit) break;
        LineFit fit(lx - kUnit, ly - kUnit, hx + kUnit, hy + kUnit);
        fit.reserve(3 * corners);
        std::unique_ptr<Reducer> fitted = reducer(&fit, level * kUnit);
        if (fitted->total() < best->total()) best = std::move(fitted);
    }
    Reducer& red = *best;
    res.budget = budget;
    if (budget > 0) {
        const BudgetReport rep = red.reduce_budget(static_cast<std::size_t>(budget),
                                                   static_cast<double>(opaque_px) * kUnit * kUnit, stop);
        res.budget_applied = rep.applied;
        res.overdraw_before = rep.overdraw_before;
        res.overdraw = rep.overdraw;
        res.under_10 = static_cast<long long>(rep.under_10);
    }
    for (std::size_t p = 0; p < g.parts.size(); ++p) {
        if (!red.part_alive(static_cast<int>(p))) continue;
        stop.poll();
        g.parts[p].cur = red.part_rings(static_cast<int>(p));
        res.parts.push_back(mesh_part(g.parts[p], p, o, border, stop));
    }
    return res;
}

}  // namespace sprite
}  // namespace vellumcut
