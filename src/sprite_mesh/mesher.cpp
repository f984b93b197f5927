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

#include "constrained_mesh/triangle_front.hpp"
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

// A part's outline as Triangle's input (units). Ring corners are merged by
// their exact position; the points added between them (outline splits,
// Poisson points) are appended as they come.
struct PartGraph : Pslg {
    std::unordered_map<std::uint64_t, int> index;
    int add(double x, double y) {
        points.push_back(x);
        points.push_back(y);
        return static_cast<int>(points.size() / 2 - 1);
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
//
// Why not the core's sampler (constrained_mesh/sampler.hpp): its sequence of
// draws is fixed by poisson_png's contract, and that sequence takes each
// candidate at a distance uniform in [r, 2r) and grows from one seed over a
// whole rectangle. Kept to the part's raster, it meshes 22 % fewer triangles
// at the same spacing (a 4096 px island at spacing 8: 150,673 against
// 194,252), so `spacing` would no longer be the distance between
// neighbours, and the median smallest angle over the real sprites drops
// from 39.8 to 38.9 degrees; guarantees and speed were the same.
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
void add_poisson(const Part& part, double spacing, double clear, std::mt19937& engine, PartGraph& g, Stop& stop) {
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

// The area (px) and the corner count of a part's rings.
struct PartSize {
    double area_px = 0;
    std::size_t boundary = 0;
};

PartSize measure(const Part& part) {
    PartSize s;
    for (const IRing& r : part.cur) {
        s.area_px -= static_cast<double>(area2(r)) / 2 / (kUnit * kUnit);
        s.boundary += r.size();
    }
    return s;
}

// The part's rings as segments; with `split` > 0, edges longer than that
// (units) are cut into equal pieces about `split` long, so that the edge
// band of a Poisson interior is not a row of needles.
PartGraph outline_graph(const Part& part, double split) {
    PartGraph g;
    for (const IRing& r : part.cur) {
        const int first = g.add(r[0]);
        int prev = first;
        for (std::size_t i = 0; i < r.size(); ++i) {
            const P& a = r[i];
            const P& b = r[(i + 1) % r.size()];
            const int end = i + 1 < r.size() ? g.add(b) : first;
            const double len = std::hypot(static_cast<double>(b.x - a.x), static_cast<double>(b.y - a.y));
            if (split > 0 && len > split) {
                const int pieces = static_cast<int>(std::ceil(len / split));
                for (int k = 1; k < pieces; ++k) {
                    const double t = static_cast<double>(k) / pieces;
                    const int m = g.add(static_cast<double>(a.x) + t * static_cast<double>(b.x - a.x),
                                        static_cast<double>(a.y) + t * static_cast<double>(b.y - a.y));
                    g.segments.push_back(prev);
                    g.segments.push_back(m);
                    prev = m;
                }
            }
            g.segments.push_back(prev);
            g.segments.push_back(end);
            prev = end;
        }
    }
    return g;
}

// Every call of the sprite mesher: no segments back, neighbours for the
// selection and the free edges; here, stoppable at the library's next
// allocation.
TriangleSwitches part_switches() {
    TriangleSwitches s;
    s.no_segments_out = true;
    s.neighbours = true;
    return s;
}

TriangleRun part_run() {
    TriangleRun run;
    run.stoppable = true;
    return run;
}

// A part's triangles (points in units) and the free edges of the mesh.
struct PartTriangles {
    std::vector<double> v;
    std::vector<std::int32_t> idx;
    std::vector<std::int32_t> edges;
};

// The outline alone: the triangles inside the part, no point added.
PartTriangles outline_triangles(const PartGraph& g, bool holes, Stop& stop) {
    const Triangulation first = triangulate(g, {}, part_switches(), part_run(), stop);
    std::vector<char> keep(static_cast<std::size_t>(first.triangle_count()), 1);
    if (holes) keep = inside_by_segment_side(g, first);
    PartTriangles m;
    m.v.assign(first.points(), first.points() + 2 * first.point_count());
    for (int t = 0; t < first.triangle_count(); ++t) {
        if (!keep[static_cast<std::size_t>(t)]) continue;
        m.idx.insert(m.idx.end(), first.triangles() + 3 * t, first.triangles() + 3 * t + 3);
    }
    free_edges(first, keep, m.edges);
    return m;
}

// Refinement (of the Poisson points too) needs one point inside each hole:
// a first pass over the outline alone shows where the holes are (Triangle
// already removed the triangles outside the outer ring, so any triangle
// outside the part lies in a hole).
std::vector<double> part_hole_seeds(const PartGraph& g, Stop& stop) {
    const Triangulation first = triangulate(g, {}, part_switches(), part_run(), stop);
    return hole_seeds(g, first, inside_by_segment_side(g, first));
}

// The outline with interior points: Poisson points `spacing` apart that
// Triangle keeps and lifts to `min_angle` along the outline, or Triangle's
// own refinement to `min_angle` and triangles no larger than equilateral
// ones of side `spacing`.
PartTriangles interior_triangles(const Part& part, std::size_t index, const Options& o, double spacing,
                                 const PartSize& size, PartGraph& g, Stop& stop) {
    const std::vector<double> seeds = part.cur.size() > 1 ? part_hole_seeds(g, stop) : std::vector<double>{};
    TriangleSwitches sw = part_switches();
    sw.min_angle = o.min_angle;
    if (o.interior == Interior::poisson) {
        std::mt19937 engine = part_engine(o, index);
        add_poisson(part, spacing, 0.5 * spacing, engine, g, stop);
        // The Poisson points stay; Triangle adds only the few points that
        // lift the triangles along the outline to min_angle.
        sw.max_steiner = 4.0 * static_cast<double>(g.points.size() / 2) + 1000;
    } else {
        const double max_area = std::sqrt(3.0) / 4 * spacing * spacing;
        sw.max_area = max_area * kUnit * kUnit;
        sw.max_steiner = 4.0 * size.area_px / max_area + 20.0 * static_cast<double>(size.boundary) + 1000;
    }
    stop.poll();
    const Triangulation second = triangulate(g, seeds, sw, part_run(), stop);
    PartTriangles m;
    m.v.assign(second.points(), second.points() + 2 * second.point_count());
    m.idx.assign(second.triangles(), second.triangles() + 3 * second.triangle_count());
    free_edges(second, std::vector<char>(static_cast<std::size_t>(second.triangle_count()), 1), m.edges);
    return m;
}

// Drops the points no triangle uses and moves the rest from units to the
// mask frame; the rings come from the free edges.
PartMesh to_mask_frame(PartTriangles m, int border) {
    std::vector<std::int32_t> remap(m.v.size() / 2, -1);
    PartMesh pm;
    for (std::int32_t& i : m.idx) {
        if (remap[i] < 0) {
            remap[i] = static_cast<std::int32_t>(pm.v.size() / 2);
            pm.v.push_back(m.v[2 * i] / kUnit - 1.5 + border);
            pm.v.push_back(m.v[2 * i + 1] / kUnit - 1.5 + border);
        }
        i = remap[i];
    }
    pm.idx = std::move(m.idx);
    for (std::int32_t& i : m.edges) i = remap[i];
    pm.rings = boundary_rings(pm.v, m.edges);
    return pm;
}

PartMesh mesh_part(const Part& part, std::size_t index, const Options& o, int border, Stop& stop) {
    const PartSize size = measure(part);
    const double spacing = o.spacing > 0 ? o.spacing : auto_spacing(size.area_px);
    PartGraph g = outline_graph(part, o.interior == Interior::poisson ? spacing * kUnit : 0);
    if (o.interior == Interior::none) return to_mask_frame(outline_triangles(g, part.cur.size() > 1, stop), border);
    PartTriangles m = interior_triangles(part, index, o, spacing, size, g, stop);
    snap_to_segments(part, m.v, m.edges);
    return to_mask_frame(std::move(m), border);
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
