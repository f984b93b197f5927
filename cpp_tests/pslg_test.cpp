// Crossing resolution before Triangle, and the child-process fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <triangle.h>

#include "constrained_mesh/detail/mesher_steps.hpp"
#include "constrained_mesh/mesher.hpp"
#include "constrained_mesh/pslg.hpp"
#include "constrained_mesh/triangle_guard.hpp"
#include "mesh_input.hpp"

using vellumcut::CrossingResolution;
using vellumcut::Loop;
using vellumcut::Mesh;
using vellumcut::detail::MesherOptions;
using vellumcut::detail::MesherReport;
using vellumcut::orientation;
using vellumcut::resolve_crossings;

namespace {

// The mesher with the given switches.
Mesh mesh_with(const MesherOptions& options, const Loop& outer, const std::vector<Loop>& holes,
               const Loop& extra, MesherReport* report = nullptr) {
    return vellumcut::detail::constrained_mesh(outer, holes, extra, options, report);
}

MesherOptions isolated_always() {
    MesherOptions o;
    o.isolation = MesherOptions::Isolation::Always;
    return o;
}

bool is_float(double v) { return static_cast<double>(static_cast<float>(v)) == v; }

// Every pair of segments checked directly: no proper crossing and no point
// strictly inside a segment.
void expect_planar(const std::vector<double>& pts, const std::vector<int>& segs) {
    const std::size_t ns = segs.size() / 2, np = pts.size() / 2;
    const auto P = [&](int i) { return &pts[2 * static_cast<std::size_t>(i)]; };
    for (std::size_t s = 0; s < ns; ++s) {
        const int a = segs[2 * s], b = segs[2 * s + 1];
        for (std::size_t p = 0; p < np; ++p) {
            const int q = static_cast<int>(p);
            if (q == a || q == b) continue;
            const double *pa = P(a), *pb = P(b), *pq = P(q);
            const bool in_box = pq[0] >= std::min(pa[0], pb[0]) && pq[0] <= std::max(pa[0], pb[0]) &&
                                pq[1] >= std::min(pa[1], pb[1]) && pq[1] <= std::max(pa[1], pb[1]);
            ASSERT_FALSE(in_box && orientation(pa, pb, pq) == 0) << "point " << q << " inside segment " << s;
        }
        for (std::size_t t = s + 1; t < ns; ++t) {
            const int c = segs[2 * t], d = segs[2 * t + 1];
            if (a == c || a == d || b == c || b == d) continue;
            const int o1 = orientation(P(a), P(b), P(c)), o2 = orientation(P(a), P(b), P(d));
            const int o3 = orientation(P(c), P(d), P(a)), o4 = orientation(P(c), P(d), P(b));
            ASSERT_FALSE(o1 * o2 < 0 && o3 * o4 < 0) << "segments " << s << " and " << t << " cross";
        }
    }
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

const std::string kRegressions = VELLUMCUT_SOURCE_DIR "/tests/fuzz_regressions/mesh/";

}  // namespace

// On a lattice of 2^-20 the determinant is an exact 128-bit integer. Each
// triple mixes a point 2^36 times farther out with two near the origin, all
// on (or one step off) a line through it: the differences then need more
// bits than a double has, which is where plain evaluation gets the sign
// wrong.
TEST(Orientation, AgreesWithExactIntegerArithmetic) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int64_t> step(-(1 << 10), 1 << 10);
    const double unit = std::ldexp(1.0, -20);
    int collinear = 0, naive_wrong = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t dx = step(rng), dy = step(rng), m = step(rng), j = step(rng), k = step(rng);
        const std::int64_t far = std::int64_t{1} << 36;
        const std::int64_t ax = far * m * dx, ay = far * m * dy;
        const std::int64_t bx = j * dx + (i % 5 == 0), by = j * dy;
        std::int64_t cx = k * dx, cy = k * dy;
        if (i % 3 == 1) cx += 1;
        if (i % 3 == 2) cy -= 1;
        using I = __int128;
        const I det = I(ax - cx) * I(by - cy) - I(ay - cy) * I(bx - cx);
        const int expected = (det > 0) - (det < 0);
        collinear += expected == 0;
        const auto d = [unit](std::int64_t v) { return static_cast<double>(v) * unit; };
        const double a[2] = {d(ax), d(ay)}, b[2] = {d(bx), d(by)}, c[2] = {d(cx), d(cy)};
        for (double v : {a[0], a[1], b[0], b[1], c[0], c[1]}) ASSERT_TRUE(is_float(v));
        ASSERT_EQ(orientation(a, b, c), expected) << i;
        const double naive = (a[0] - c[0]) * (b[1] - c[1]) - (a[1] - c[1]) * (b[0] - c[0]);
        naive_wrong += ((naive > 0) - (naive < 0)) != expected;
    }
    EXPECT_GT(collinear, 5000);
    EXPECT_GT(naive_wrong, 1000);  // the cases are hard ones
}

TEST(Orientation, ExactAcrossTheWholeFloatRange) {
    const float big = 1e38f, tiny = 1e-45f;
    const double a[2] = {big, big}, b[2] = {tiny, tiny}, on[2] = {0.5, 0.5};
    EXPECT_EQ(orientation(a, b, on), 0);
    const double above[2] = {0.5, std::nextafter(0.5f, 1.0f)};
    const double below[2] = {0.5, std::nextafter(0.5f, 0.0f)};
    EXPECT_EQ(orientation(a, b, above), -orientation(a, b, below));
    EXPECT_NE(orientation(a, b, above), 0);
    EXPECT_EQ(orientation(b, a, above), -orientation(a, b, above));
    EXPECT_EQ(orientation(above, a, b), orientation(a, b, above));
}

TEST(ResolveCrossings, LeavesAPlanarGraphUntouched) {
    // A square with a square hole and a free point: nothing to split.
    std::vector<double> pts = {0, 0, 4, 0, 4, 4, 0, 4, 1, 1, 3, 1, 3, 3, 1, 3, 2, 2};
    std::vector<int> segs = {0, 1, 1, 2, 2, 3, 3, 0, 4, 5, 5, 6, 6, 7, 7, 4};
    const auto p0 = pts;
    const auto s0 = segs;
    const CrossingResolution r = resolve_crossings(pts, segs, 1000);
    EXPECT_FALSE(r.changed);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(pts, p0);
    EXPECT_EQ(segs, s0);
}

TEST(ResolveCrossings, OverlapsAndTouchingPointsSplitWithoutNewPoints) {
    // (0,0)-(2,0) overlaps (1,0)-(3,0); the free point (0.5,0) lies on the first.
    std::vector<double> pts = {0, 0, 2, 0, 1, 0, 3, 0, 0.5, 0};
    std::vector<int> segs = {0, 1, 2, 3};
    const CrossingResolution r = resolve_crossings(pts, segs, 1000);
    EXPECT_TRUE(r.changed);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(pts.size(), 10u);
    // 0-4-2-1-3 along the x axis, each piece once.
    EXPECT_EQ(segs, (std::vector<int>{0, 4, 4, 2, 2, 1, 1, 3}));
}

TEST(ResolveCrossings, CrossingPointsComeAfterTheInputPoints) {
    // Two squares offset by (1, 1) cross twice, at (2, 1) and (1, 2).
    std::vector<double> pts = {0, 0, 2, 0, 2, 2, 0, 2, 1, 1, 3, 1, 3, 3, 1, 3};
    std::vector<int> segs = {0, 1, 1, 2, 2, 3, 3, 0, 4, 5, 5, 6, 6, 7, 7, 4};
    const auto p0 = pts;
    const CrossingResolution r = resolve_crossings(pts, segs, 1000);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.added_points, 2u);
    ASSERT_EQ(pts.size(), 20u);
    EXPECT_TRUE(std::equal(p0.begin(), p0.end(), pts.begin()));
    std::vector<std::pair<double, double>> added = {{pts[16], pts[17]}, {pts[18], pts[19]}};
    std::sort(added.begin(), added.end());
    EXPECT_EQ(added, (std::vector<std::pair<double, double>>{{1, 2}, {2, 1}}));
    EXPECT_EQ(segs.size(), 2u * 12u);
    expect_planar(pts, segs);
}

// Random closed rings through a small box: dozens of crossings each, near-
// parallel and near-collinear ones among them.
TEST(ResolveCrossings, RandomTanglesBecomePlanar) {
    std::mt19937 rng(11);
    int converged = 0;
    for (int trial = 0; trial < 40; ++trial) {
        std::uniform_real_distribution<float> c(trial % 2 ? -1e-3f : -100.0f, trial % 2 ? 1e-3f : 100.0f);
        std::vector<double> pts;
        std::vector<int> segs;
        const int rings = 1 + trial % 4;
        for (int r = 0; r < rings; ++r) {
            const int base = static_cast<int>(pts.size() / 2), n = 3 + static_cast<int>(rng() % 12);
            for (int i = 0; i < n; ++i) {
                pts.push_back(c(rng));
                pts.push_back(c(rng));
                segs.push_back(base + i);
                segs.push_back(base + (i + 1) % n);
            }
        }
        const auto p0 = pts;
        const CrossingResolution res = resolve_crossings(pts, segs, 1 << 20);
        ASSERT_TRUE(std::equal(p0.begin(), p0.end(), pts.begin()));
        for (double v : pts) ASSERT_TRUE(is_float(v));
        for (int s : segs) ASSERT_LT(static_cast<std::size_t>(s), pts.size() / 2);
        if (res.converged) {
            ++converged;
            expect_planar(pts, segs);
        }
    }
    EXPECT_EQ(converged, 40);
}

// Pixel outlines (what poisson_png hands over) never cross: detection must
// find nothing, so they keep the in-process path.
TEST(ResolveCrossings, PixelOutlinesHaveNothingToSplit) {
    cv::Mat mask = cv::Mat::zeros(300, 300, CV_8U);
    cv::circle(mask, {150, 150}, 120, 255, -1);
    cv::circle(mask, {150, 150}, 40, 0, -1);
    cv::rectangle(mask, {60, 60}, {90, 90}, 0, -1);
    cv::line(mask, {20, 20}, {280, 40}, 255, 1);  // one-pixel spur: repeated points
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    std::vector<double> pts;
    std::vector<int> segs;
    std::map<std::pair<int, int>, int> index;
    for (const auto& c : contours) {
        std::vector<int> ids;
        for (const cv::Point& p : c) {
            const auto found = index.emplace(std::make_pair(p.x, p.y), static_cast<int>(pts.size() / 2));
            if (found.second) {
                pts.push_back(p.x);
                pts.push_back(p.y);
            }
            ids.push_back(found.first->second);
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] == ids[(i + 1) % ids.size()]) continue;
            segs.push_back(ids[i]);
            segs.push_back(ids[(i + 1) % ids.size()]);
        }
    }
    ASSERT_GT(segs.size(), 2000u);
    const CrossingResolution r = resolve_crossings(pts, segs, 1 << 20);
    EXPECT_FALSE(r.changed);
}

// With the new path switched off the mesher is what it was before; inputs
// without crossings must give bit-identical results either way.
TEST(ResolveCrossings, NonCrossingInputsMeshExactlyAsWithoutIt) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> jitter(0.6f, 1.0f);
    for (int trial = 0; trial < 30; ++trial) {
        // A star-shaped outer ring, a smaller star hole around the same
        // centre and free points: no two edges cross.
        const int n = 5 + trial * 7;
        Loop outer, hole, extra;
        for (int i = 0; i < n; ++i) {
            const float a = 6.2831853f * static_cast<float>(i) / static_cast<float>(n);
            const float r = 100.0f * jitter(rng);
            outer.emplace_back(200.0f + r * std::cos(a), 200.0f + r * std::sin(a));
            hole.emplace_back(200.0f + 0.3f * r * std::cos(-a), 200.0f + 0.3f * r * std::sin(-a));
            extra.emplace_back(200.0f + 0.45f * r * std::cos(a + 0.1f), 200.0f + 0.45f * r * std::sin(a + 0.1f));
        }
        if (trial % 3 == 0) outer.push_back(outer.front());  // repeated closing point
        const Mesh now = vellumcut::tri_mesh_debug(outer, {hole}, extra);
        MesherOptions raw;
        raw.resolve_crossings = false;
        raw.isolation = MesherOptions::Isolation::Never;
        const Mesh before = mesh_with(raw, outer, {hole}, extra);
        ASSERT_EQ(now.v, before.v) << trial;
        ASSERT_EQ(now.idx, before.idx) << trial;
        ASSERT_FALSE(now.idx.empty());
    }
}

TEST(IsolatedTriangulate, GivesTheSameMeshAsInProcess) {
    const Loop outer = {{0, 0}, {10, 0}, {10, 10}, {5, 3}, {0, 10}};
    const Loop hole = {{4, 1}, {6, 1}, {5, 2}};
    const Mesh in_process = vellumcut::tri_mesh_debug(outer, {hole}, {{2, 2}, {8, 4}});
    const Mesh isolated = mesh_with(isolated_always(), outer, {hole}, {{2, 2}, {8, 4}});
    EXPECT_EQ(in_process.v, isolated.v);
    EXPECT_EQ(in_process.idx, isolated.idx);
}

TEST(IsolatedTriangulate, LibraryFailuresKeepTheirMessage) {
    double points[] = {0, 0, 1, 1};
    triangulateio in, out;
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.pointlist = points;
    in.numberofpoints = 2;  // too few: the library's own fatal exit
    char switches[] = "zQBj";
    try {
        vellumcut::isolated_triangulate(switches, &in, &out, 5.0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Triangle failed (internal error)");
    }
    EXPECT_EQ(out.pointlist, nullptr);
}

// The inputs Triangle once crashed or looped on, given to it raw (crossing
// resolution off): the child dies or is stopped, this process goes on.
TEST(IsolatedTriangulate, CrashesAndHangsOfTheLibraryBecomeExceptions) {
    MesherOptions raw = isolated_always();
    raw.resolve_crossings = false;
    raw.deadline_seconds = 1.0;
    const auto run = [&raw](const std::string& name) -> std::string {
        const auto bytes = read_bytes(kRegressions + name);
        const auto in = vellumcut::fuzz::decode_mesh_input(bytes.data(), bytes.size());
        try {
            mesh_with(raw, in.outer, in.holes, in.extra);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(run("mesh-crash-0c0ba62d7.bin").rfind("Triangle crashed on these rings", 0), 0u);
    EXPECT_EQ(run("mesh-timeout-af6c7e5.bin"), "Triangle did not finish within 1.0 s on these rings (stopped)");
}

// A host with other threads busy in malloc while the mesher forks: the
// child must still be able to allocate and finish.
TEST(IsolatedTriangulate, WorksWhileOtherThreadsAllocate) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 2; ++t) {
        busy.emplace_back([&stop] {
            while (!stop.load()) {
                std::vector<std::string> junk(64, std::string(100, 'x'));
            }
        });
    }
    int ok = 0;
    for (int i = 0; i < 30; ++i) {
        const Mesh m = mesh_with(isolated_always(), {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, {},
                                 {{3, 3}, {7, 6}});
        ok += m.idx.size() == 3 * 6;
    }
    stop = true;
    for (auto& t : busy) t.join();
    EXPECT_EQ(ok, 30);
}

TEST(IsolatedTriangulate, OnlyGraphsThatGainedPointsLeaveTheProcess) {
    // A hole whose corner lies on the outer ring and free points on outer
    // edges: splitting cuts segments at points the input already has, so the
    // graph is meshed here. A crossing hole needs a new point and is meshed
    // in a child process. Both give what forcing the child process gives.
    const Loop outer = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    struct Case {
        std::vector<Loop> holes;
        Loop extra;
        bool isolated;
    };
    const Case cases[] = {
        {{{{5, 0}, {6, 2}, {4, 2}}}, {{2, 0}, {10, 4}, {5, 5}}, false},  // touching only
        {{}, {{0.5f, 0}, {0, 7.25f}, {3, 3}}, false},                     // points on edges
        {{{{5, -1}, {6, 2}, {4, 2}}}, {{5, 5}}, true},                    // hole crosses the ring
    };
    for (const Case& c : cases) {
        MesherReport report;
        const Mesh automatic = mesh_with(MesherOptions{}, outer, c.holes, c.extra, &report);
        EXPECT_EQ(report.isolated, c.isolated);
        const Mesh isolated = mesh_with(isolated_always(), outer, c.holes, c.extra);
        EXPECT_EQ(automatic.v, isolated.v);
        EXPECT_EQ(automatic.idx, isolated.idx);
        EXPECT_FALSE(automatic.idx.empty());
    }
}
