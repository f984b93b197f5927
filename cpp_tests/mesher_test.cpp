#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
#include <fpu_control.h>
#define HAVE_X87_CW 1
#endif

#include "constrained_mesh/mesher.hpp"

using vellumcut::Loop;
using vellumcut::Mesh;
using vellumcut::tri_mesh_debug;

namespace {

const Loop kSquare10 = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};

double kept_area(const Mesh& m) {
    double sum = 0.0;
    for (std::size_t t = 0; t < m.idx.size(); t += 3) {
        const double* a = &m.v[2 * m.idx[t]];
        const double* b = &m.v[2 * m.idx[t + 1]];
        const double* c = &m.v[2 * m.idx[t + 2]];
        sum += 0.5 * std::fabs((b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1]));
    }
    return sum;
}

}  // namespace

TEST(TriMesh, DegenerateOuterThrowsWithMessage) {
    try {
        tri_mesh_debug({{0, 0}, {1, 1}, {2, 2}}, {}, {});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "outer ring degenerate");
    }
}

// Triangle discards duplicates of a point that segments end at; this
// sequence used to corrupt its memory and crash on the third call.
TEST(TriMesh, CoincidentRingPointsAreMergedBeforeTriangle) {
    const Mesh c = tri_mesh_debug({{0, 0}, {20, 0}, {20, 20}, {0, 20}},
                                  {{{4, 4}, {16, 4}, {16, 8}, {8, 8}, {8, 12}, {16, 12},
                                    {16, 16}, {4, 16}}},
                                  {});
    EXPECT_DOUBLE_EQ(kept_area(c), 400.0 - 112.0);
    const Mesh e = tri_mesh_debug(kSquare10, {}, {{10, 10}, {20, 20}, {5, 5}});
    EXPECT_EQ(e.v.size(), 2u * 6u);
    EXPECT_DOUBLE_EQ(kept_area(e), 100.0);
    const Mesh self = tri_mesh_debug(kSquare10, {kSquare10}, {});
    EXPECT_EQ(self.v.size(), 2u * 4u);
    EXPECT_TRUE(self.idx.empty());
}

TEST(TriMesh, SharedPointsKeepFirstOccurrenceInInputOrder) {
    // The hole touches the outer ring at (10, 5); the extra points repeat
    // ring points and each other.
    const Mesh m = tri_mesh_debug({{0, 0}, {10, 0}, {10, 5}, {10, 10}, {0, 10}, {0, 0}},
                                  {{{5, 4}, {10, 5}, {5, 6}}}, {{5, 5}, {5, 4}, {5, 5}});
    const std::vector<double> want = {0, 0, 10, 0, 10, 5, 10, 10, 0, 10, 5, 4, 5, 6, 5, 5};
    EXPECT_EQ(m.v, want);
    EXPECT_NEAR(kept_area(m), 100.0 - 5.0, 1e-9);
}

TEST(TriMesh, FloatingPointEnvironmentIsRestored) {
    std::fenv_t before_env;
    std::fegetenv(&before_env);
#ifdef HAVE_X87_CW
    fpu_control_t before = 0, after = 0;
    _FPU_GETCW(before);
#endif
    const int round_before = std::fegetround();
    tri_mesh_debug(kSquare10, {kSquare10}, {});
    EXPECT_EQ(std::fegetround(), round_before);
#ifdef HAVE_X87_CW
    _FPU_GETCW(after);
    EXPECT_EQ(after, before);
    // Would trap (SIGFPE) if the overflow exception were left unmasked.
    volatile long double big = 1e4000L;
    volatile long double prod = big * big;
    EXPECT_TRUE(std::isinf(static_cast<long double>(prod)));
#endif
    std::fesetenv(&before_env);
}

// NaN points crash or hang Triangle; they never reach it.
TEST(TriMesh, NonFinitePointsAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_THROW(tri_mesh_debug(kSquare10, {}, {{nan, 5}}), std::invalid_argument);
    EXPECT_THROW(tri_mesh_debug(kSquare10, {}, {{5, -inf}}), std::invalid_argument);
    EXPECT_THROW(tri_mesh_debug(kSquare10, {{{2, -2}, {inf, 3}, {3, 4}}}, {}), std::invalid_argument);
}
