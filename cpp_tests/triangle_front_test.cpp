// The Triangle front end both meshers call: where it runs, the two rules
// that select the inside triangles, hole seeds, and the floating-point
// environment it hands back.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/triangle_front.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
#include <fpu_control.h>
#define HAVE_X87_CW 1
#endif

namespace vc = vellumcut;

namespace {

// A 10 x 10 square with a 4 x 4 square hole, both run with the region on
// their right (y up): the outer ring clockwise, the hole counter-clockwise.
vc::Pslg square_with_hole() {
    vc::Pslg g;
    g.points = {0, 0, 0, 10, 10, 10, 10, 0, 3, 3, 7, 3, 7, 7, 3, 7};
    g.segments = {0, 1, 1, 2, 2, 3, 3, 0, 4, 5, 5, 6, 6, 7, 7, 4};
    return g;
}

vc::Loop ring_of(const vc::Pslg& g, int first, int count) {
    vc::Loop ring;
    for (int i = first; i < first + count; ++i) {
        ring.emplace_back(static_cast<float>(g.points[2 * i]), static_cast<float>(g.points[2 * i + 1]));
    }
    return ring;
}

vc::TriangleSwitches with_neighbours() {
    vc::TriangleSwitches s;
    s.neighbours = true;
    return s;
}

double kept_area(const vc::Triangulation& t, const std::vector<char>& keep) {
    double area = 0;
    for (int i = 0; i < t.triangle_count(); ++i) {
        if (!keep[static_cast<std::size_t>(i)]) continue;
        const int* c = t.triangles() + 3 * i;
        const double* p = t.points();
        area += std::fabs((p[2 * c[1]] - p[2 * c[0]]) * (p[2 * c[2] + 1] - p[2 * c[0] + 1]) -
                          (p[2 * c[2]] - p[2 * c[0]]) * (p[2 * c[1] + 1] - p[2 * c[0] + 1])) /
                2;
    }
    return area;
}

}  // namespace

TEST(TriangleFront, BothSelectionRulesKeepTheRegionBetweenTheRings) {
    const vc::Pslg g = square_with_hole();
    const vc::Triangulation t = vc::triangulate(g, {}, with_neighbours(), {}, vc::no_stop());
    ASSERT_GT(t.triangle_count(), 0);
    const std::vector<char> by_side = vc::inside_by_segment_side(g, t);
    const std::vector<char> by_centroid = vc::inside_by_centroid(
        t.points(), t.triangles(), static_cast<std::size_t>(t.triangle_count()), ring_of(g, 0, 4),
        {ring_of(g, 4, 4)}, vc::no_stop());
    EXPECT_EQ(by_side, by_centroid);
    EXPECT_DOUBLE_EQ(kept_area(t, by_side), 100.0 - 16.0);
}

TEST(TriangleFront, OneHoleSeedPerHoleLetsRefinementStayOutOfIt) {
    const vc::Pslg g = square_with_hole();
    const vc::Triangulation first = vc::triangulate(g, {}, with_neighbours(), {}, vc::no_stop());
    const std::vector<double> seeds = vc::hole_seeds(g, first, vc::inside_by_segment_side(g, first));
    ASSERT_EQ(seeds.size(), 2u);  // the hole's triangles are one region
    EXPECT_GT(seeds[0], 3.0);
    EXPECT_LT(seeds[0], 7.0);
    EXPECT_GT(seeds[1], 3.0);
    EXPECT_LT(seeds[1], 7.0);

    vc::TriangleSwitches refine = with_neighbours();
    refine.min_angle = 25;
    refine.max_area = 2;
    const vc::Triangulation fine = vc::triangulate(g, seeds, refine, {}, vc::no_stop());
    EXPECT_GT(fine.triangle_count(), first.triangle_count());
    const std::vector<char> all(static_cast<std::size_t>(fine.triangle_count()), 1);
    EXPECT_NEAR(kept_area(fine, all), 84.0, 1e-9);
    // The free edges of the whole mesh are the two rings' edges, split.
    std::vector<std::int32_t> edges;
    vc::free_edges(fine, all, edges);
    double length = 0;
    for (std::size_t e = 0; e < edges.size(); e += 2) {
        const double* a = fine.points() + 2 * edges[e];
        const double* b = fine.points() + 2 * edges[e + 1];
        length += std::hypot(b[0] - a[0], b[1] - a[1]);
    }
    EXPECT_NEAR(length, 40.0 + 16.0, 1e-9);
}

TEST(TriangleFront, AChildGivesTheMeshThisProcessGives) {
    const vc::Pslg g = square_with_hole();
    vc::TriangleSwitches s;
    s.convex_hull = true;
    s.min_angle = 20;
    const vc::Triangulation here = vc::triangulate(g, {}, s, {}, vc::no_stop());
    for (const auto where : {vc::TriangleRun::Where::child, vc::TriangleRun::Where::child_else_here}) {
        vc::TriangleRun run;
        run.where = where;
        run.child_cpu_seconds = 5;
        const vc::Triangulation there = vc::triangulate(g, {}, s, run, vc::no_stop());
        ASSERT_EQ(there.point_count(), here.point_count());
        ASSERT_EQ(there.triangle_count(), here.triangle_count());
        EXPECT_EQ(std::memcmp(there.points(), here.points(), sizeof(double) * 2 * here.point_count()), 0);
        EXPECT_EQ(std::memcmp(there.triangles(), here.triangles(), sizeof(int) * 3 * here.triangle_count()), 0);
    }
}

TEST(TriangleFront, AStoppableCallEndsOnceStopped) {
    vc::Stop stop;
    stop.request();
    vc::TriangleRun run;
    run.stoppable = true;
    EXPECT_THROW(vc::triangulate(square_with_hole(), {}, {}, run, stop), vc::Interrupted);
    // Without `stoppable` the same call ignores the stop.
    EXPECT_GT(vc::triangulate(square_with_hole(), {}, {}, {}, stop).triangle_count(), 0);
}

// Triangle's start-up loads its own x87 control word (traps unmasked) for the
// thread; left in place it changed the long-double corner arithmetic of the
// sprite mesher's line fit for every later call on the thread, so the same
// sprite meshed differently the second time.
TEST(TriangleFront, TheFloatingPointEnvironmentIsHandedBack) {
    cv::Mat mask = cv::Mat::zeros(40, 50, CV_8UC1);
    cv::ellipse(mask, {25, 20}, {20, 12}, 20, 0, 360, 1, cv::FILLED);
    cv::circle(mask, {25, 20}, 5, 0, cv::FILLED);
    vc::sprite::Options o;
    o.interior = vc::sprite::Interior::quality;
    const int before_traps = fegetexcept(), before_rounding = std::fegetround();
#ifdef HAVE_X87_CW
    fpu_control_t before_cw = 0, after_cw = 0;
    _FPU_GETCW(before_cw);
#endif
    const vc::sprite::Result first = vc::sprite::mesh_opaque(mask, o, vc::no_stop());
#ifdef HAVE_X87_CW
    _FPU_GETCW(after_cw);
    EXPECT_EQ(after_cw, before_cw);
#endif
    EXPECT_EQ(fegetexcept(), before_traps);
    EXPECT_EQ(std::fegetround(), before_rounding);
    const vc::sprite::Result second = vc::sprite::mesh_opaque(mask, o, vc::no_stop());
    ASSERT_EQ(first.parts.size(), 1u);
    ASSERT_EQ(second.parts.size(), 1u);
    EXPECT_EQ(first.parts[0].v, second.parts[0].v);
    EXPECT_EQ(first.parts[0].idx, second.parts[0].idx);
}
