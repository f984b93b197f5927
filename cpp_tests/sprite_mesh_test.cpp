// The sprite mesher's core without Python: pixel-edge rings, the rectangle
// of an opaque image, area conservation, threads and stopping.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "sprite_mesh/rings.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace sm = vellumcut::sprite;

namespace {

double mesh_area(const sm::PartMesh& p) {
    double a = 0;
    for (std::size_t t = 0; t < p.idx.size(); t += 3) {
        const double* u = &p.v[2 * p.idx[t]];
        const double* v = &p.v[2 * p.idx[t + 1]];
        const double* w = &p.v[2 * p.idx[t + 2]];
        a += std::abs((v[0] - u[0]) * (w[1] - u[1]) - (w[0] - u[0]) * (v[1] - u[1])) / 2;
    }
    return a;
}

cv::Mat blob() {
    cv::Mat m = cv::Mat::zeros(64, 80, CV_8UC1);
    cv::ellipse(m, {40, 32}, {30, 20}, 15, 0, 360, 1, cv::FILLED);
    cv::circle(m, {40, 32}, 8, 0, cv::FILLED);
    m.at<std::uint8_t>(2, 2) = 1;  // a lone pixel
    return m;
}

}  // namespace

TEST(SpriteRings, CornerContactsAreBridgedIntoSimpleRings) {
    cv::Mat padded = cv::Mat::zeros(6, 6, CV_8UC1);
    padded.at<std::uint8_t>(2, 2) = padded.at<std::uint8_t>(3, 3) = 1;  // touch at one corner
    cv::Mat labels, gaps;
    ASSERT_EQ(cv::connectedComponents(padded, labels, 8, CV_32S), 2);
    cv::Mat clear = padded == 0;
    cv::connectedComponents(clear, gaps, 4, CV_32S);
    const auto rings = sm::trace_rings(padded, labels, gaps, 4, vellumcut::no_stop());
    ASSERT_EQ(rings.size(), 1u);  // one island, one ring
    const sm::IRing& r = rings[0].pts;
    EXPECT_TRUE(rings[0].bridged);
    std::set<std::pair<std::int64_t, std::int64_t>> seen;
    for (const sm::P& p : r) EXPECT_TRUE(seen.insert({p.x, p.y}).second) << "repeated corner";
    // Two unit squares plus two bridge triangles of 4 x 4 units / 2 each.
    EXPECT_EQ(-sm::area2(r), 2 * (2 * sm::kUnit * sm::kUnit + 16));
}

TEST(SpriteMesher, OpaqueImageIsItsRectangle) {
    cv::Mat m(30, 50, CV_8UC1, cv::Scalar(1));
    sm::Options o;
    o.margin = 3;
    const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
    ASSERT_EQ(r.parts.size(), 1u);
    EXPECT_EQ(r.parts[0].v.size(), 8u);
    EXPECT_EQ(r.parts[0].idx.size(), 6u);
    EXPECT_DOUBLE_EQ(mesh_area(r.parts[0]), 1500.0);
    EXPECT_EQ(r.w, 56);
    EXPECT_EQ(r.h, 36);
}

TEST(SpriteMesher, TriangleAreaSumsToTheRingsAndCoversThePixels) {
    const cv::Mat m = blob();
    const double opaque = cv::countNonZero(m);
    for (auto interior : {sm::Interior::none, sm::Interior::poisson, sm::Interior::quality}) {
        sm::Options o;
        o.interior = interior;
        o.seeded = true;
        o.min_hole_area = 0;
        const sm::Result r = sm::mesh_opaque(m, o, vellumcut::no_stop());
        ASSERT_EQ(r.parts.size(), 2u);
        double area = 0;
        for (const auto& p : r.parts) {
            double rings = 0;
            for (const auto& ring : p.rings) {
                for (std::size_t i = 0; i < ring.size(); ++i) {
                    const double* a = &p.v[2 * ring[i]];
                    const double* b = &p.v[2 * ring[(i + 1) % ring.size()]];
                    rings -= (a[0] * b[1] - b[0] * a[1]) / 2;
                }
            }
            EXPECT_NEAR(mesh_area(p), rings, 1e-6);
            area += rings;
        }
        EXPECT_GE(area, opaque);          // outward only
        EXPECT_LE(area, opaque * 1.15);   // and not by much
    }
}

TEST(SpriteMesher, ThreadsMatchSerialRuns) {
    const cv::Mat m = blob();
    sm::Options o;
    o.interior = sm::Interior::quality;
    o.spacing = 4;
    const sm::Result serial = sm::mesh_opaque(m, o, vellumcut::no_stop());
    sm::Result a, b;
    std::thread t1([&] { a = sm::mesh_opaque(m, o, vellumcut::no_stop()); });
    std::thread t2([&] { b = sm::mesh_opaque(m, o, vellumcut::no_stop()); });
    t1.join();
    t2.join();
    for (const sm::Result* r : {&a, &b}) {
        ASSERT_EQ(r->parts.size(), serial.parts.size());
        for (std::size_t i = 0; i < serial.parts.size(); ++i) {
            EXPECT_EQ(r->parts[i].v, serial.parts[i].v);
            EXPECT_EQ(r->parts[i].idx, serial.parts[i].idx);
        }
    }
}

TEST(SpriteMesher, StopRequestedEndsTheCall) {
    vellumcut::Stop stop;
    stop.request();
    EXPECT_THROW(sm::mesh_opaque(blob(), sm::Options(), stop), vellumcut::Interrupted);
}

TEST(SpriteMesher, OptionsOutOfRangeNameTheOption) {
    const std::pair<void (*)(sm::Options&), const char*> cases[] = {
        {[](sm::Options& o) { o.tolerance = -1; }, "tolerance"},
        {[](sm::Options& o) { o.max_vertices = 2; }, "max_vertices"},
        {[](sm::Options& o) { o.min_angle = 40; }, "min_angle"},
        {[](sm::Options& o) { o.alpha_threshold = 255; }, "alpha_threshold"},
    };
    for (const auto& c : cases) {
        sm::Options o;
        c.first(o);
        try {
            sm::validate(o);
            ADD_FAILURE() << c.second << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
        }
    }
}
