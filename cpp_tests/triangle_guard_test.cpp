// Triangle's fatal exits, provoked for real through the library's own checks.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <triangle.h>

#include "constrained_mesh/triangle_guard.hpp"

namespace {

// Runs the library on `points` (x, y pairs), refining `triangles` (three
// corners each) when given, and returns the message it threw, or "" when it
// succeeded (freeing its output).
std::string triangulate_points(std::vector<double> points, std::vector<int> triangles = {}) {
    triangulateio in, out;
    std::memset(&in, 0, sizeof in);
    std::memset(&out, 0, sizeof out);
    in.pointlist = points.data();
    in.numberofpoints = static_cast<int>(points.size() / 2);
    in.trianglelist = triangles.empty() ? nullptr : triangles.data();
    in.numberoftriangles = static_cast<int>(triangles.size() / 3);
    in.numberofcorners = 3;
    char plain[] = "zQBj";
    char refine[] = "rzQBj";
    char* switches = triangles.empty() ? plain : refine;
    try {
        vellumcut::guarded_triangulate(switches, &in, &out);
    } catch (const std::runtime_error& e) {
        // The record must not keep pointers to the blocks freed on the way out.
        EXPECT_EQ(out.pointlist, nullptr);
        EXPECT_EQ(out.trianglelist, nullptr);
        return e.what();
    }
    trifree(out.pointlist);
    trifree(out.trianglelist);
    return "";
}

}  // namespace

TEST(TriangleGuard, FatalErrorsOfTheLibraryBecomeExceptions) {
    // "Input must have at least three input vertices." and "Triangle 0 has an
    // invalid vertex index." both end in the library's triexit(1).
    EXPECT_EQ(triangulate_points({0, 0, 1, 1}), "Triangle failed (internal error)");
    EXPECT_EQ(triangulate_points({0, 0, 1, 0, 0, 1}, {0, 1, 7}), "Triangle failed (internal error)");
    // And the library still works afterwards.
    EXPECT_EQ(triangulate_points({0, 0, 1, 0, 0, 1}), "");
}

TEST(TriangleGuard, FailedCallsLeakNothing) {
    // A mesh to refine whose last triangle names a vertex that does not
    // exist: the library has built its vertex and triangle pools (about a
    // megabyte here) when it gives up, and without the guard freeing them
    // every failure would leave them behind.
    std::vector<double> points;
    std::vector<int> triangles;
    const int n = 100;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            points.push_back(x);
            points.push_back(y);
            if (x + 1 < n && y + 1 < n) {
                const int i = y * n + x;
                triangles.insert(triangles.end(), {i, i + 1, i + n, i + 1, i + n + 1, i + n});
            }
        }
    }
    triangles.insert(triangles.end(), {0, 1, n * n});
    triangulate_points(points, triangles);  // warm up the allocator
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 200; ++i) ASSERT_NE(triangulate_points(points, triangles), "");
    const std::size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 64 * 1024) << "bytes in use grew from " << before << " to " << after;
}

TEST(TriangleGuard, ACancelledCallEndsAtAnAllocationAndLeaksNothing) {
    // A square refined to about 200,000 triangles grows the library's pools
    // many times; the probe says stop at its 20th look, midway.
    struct Count {
        mutable int left = 0;
        static bool probe(const void* self) { return --static_cast<const Count*>(self)->left < 0; }
    };
    const auto refine = [](const vellumcut::Stop* cancel) {
        std::vector<double> square{0, 0, 100, 0, 100, 100, 0, 100};
        std::vector<int> segments{0, 1, 1, 2, 2, 3, 3, 0};
        triangulateio in, out;
        std::memset(&in, 0, sizeof in);
        std::memset(&out, 0, sizeof out);
        in.pointlist = square.data();
        in.numberofpoints = 4;
        in.segmentlist = segments.data();
        in.numberofsegments = 4;
        char switches[] = "pzQBq25a0.05";
        vellumcut::guarded_triangulate(switches, &in, &out, cancel);
        const int triangles = out.numberoftriangles;
        trifree(out.pointlist);
        trifree(out.trianglelist);
        trifree(out.segmentlist);
        return triangles;
    };
    const int whole = refine(nullptr);
    EXPECT_GT(whole, 100000);
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 20; ++i) {
        Count count{20};
        vellumcut::Stop stop;
        stop.set_probe(&Count::probe, &count);
        EXPECT_THROW(refine(&stop), vellumcut::Interrupted);
        EXPECT_LT(count.left, 0);
    }
    const std::size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 64 * 1024) << "bytes in use grew from " << before << " to " << after;
    EXPECT_EQ(refine(nullptr), whole);  // and the library still works
}
