// The exact guarantee checks the sprite fuzzer relies on (fuzz/
// sprite_guarantees.hpp): silent on the mesher's meshes, and each one
// speaking up when a mesh is broken in its way by less than a float
// tolerance would notice.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "sprite_guarantees.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace sm = vellumcut::sprite;
using vellumcut::fuzz::sprite_mesh_problems;

namespace {

cv::Mat blob() {
    cv::Mat m = cv::Mat::zeros(24, 30, CV_8UC1);
    cv::ellipse(m, {14, 12}, {10, 7}, 20, 0, 360, 255, cv::FILLED);
    cv::circle(m, {14, 12}, 3, 0, cv::FILLED);  // a hole of 29 pixels
    m.at<std::uint8_t>(1, 27) = m.at<std::uint8_t>(2, 28) = 255;  // an island of two corner-touching pixels
    return m;
}

sm::Options options(double tolerance, double padding) {
    sm::Options o;
    o.tolerance = tolerance;
    o.padding = padding;
    o.seeded = true;
    return o;
}

bool mentions(const std::vector<std::string>& problems, const std::string& what) {
    for (const std::string& p : problems) {
        if (p.find(what) != std::string::npos) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& problems) {
    std::string s;
    for (const std::string& p : problems) s += p + "\n";
    return s;
}

// Every vertex of part `p` moved by f.
void move(sm::PartMesh& p, const std::function<void(double&, double&)>& f) {
    for (std::size_t i = 0; i + 1 < p.v.size(); i += 2) f(p.v[i], p.v[i + 1]);
}

struct Fault {
    const char* name;
    double tolerance, padding;
    std::function<void(sm::Result&, sm::Options&)> apply;
    const char* expect;  // a word of the problem it must raise
};

// Faults of the smallest size that breaks each guarantee, or close to it.
const Fault kFaults[] = {
    {"outline_too_far", 1.0, 0.0,
     [](sm::Result& r, sm::Options&) {
         for (auto& p : r.parts) move(p, [](double& x, double& y) { x *= 1.2; y *= 1.2; });
     },
     "lies more than"},
    {"pixel_clipped_by_a_billionth", 0.0, 0.0,
     [](sm::Result& r, sm::Options&) {
         // The outer ring's top-left vertex is a pixel's top-left corner:
         // moved into that pixel by 1e-9 px.
         auto& p = r.parts[0];
         std::size_t best = 0;
         for (std::size_t k = 0; k < p.rings[0].size(); ++k) {
             const auto i = 2 * static_cast<std::size_t>(p.rings[0][k]);
             const auto j = 2 * static_cast<std::size_t>(p.rings[0][best]);
             if (p.v[i + 1] < p.v[j + 1] || (p.v[i + 1] == p.v[j + 1] && p.v[i] < p.v[j])) best = k;
         }
         const auto i = 2 * static_cast<std::size_t>(p.rings[0][best]);
         p.v[i] += 1e-9;
         p.v[i + 1] += 1e-9;
     },
     "cuts into"},
    {"padding_overstated", 1.0, 1.0, [](sm::Result&, sm::Options& o) { o.padding = 1.5; },
     "nearer than the padding"},
    {"triangle_flipped", 1.0, 0.0,
     [](sm::Result& r, sm::Options&) { std::swap(r.parts[0].idx[0], r.parts[0].idx[1]); }, "wound one way"},
    {"triangle_twice", 1.0, 0.0,
     [](sm::Result& r, sm::Options&) {
         auto& idx = r.parts[0].idx;
         const std::vector<std::int32_t> first(idx.begin(), idx.begin() + 3);
         idx.insert(idx.end(), first.begin(), first.end());
     },
     "boundary is not its rings"},
    {"parts_overlap", 1.0, 0.0, [](sm::Result& r, sm::Options&) { r.parts.push_back(r.parts[0]); }, "meets"},
    {"over_budget", 1.0, 0.0,
     [](sm::Result& r, sm::Options& o) {
         std::size_t n = 0;
         for (const auto& p : r.parts) {
             for (const auto& ring : p.rings) n += ring.size();
         }
         o.max_vertices = static_cast<long long>(n) - 1;
     },
     "max_vertices"},
};

}  // namespace

class SpriteGuaranteeFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(SpriteGuaranteeFaults, TheMeshPassesAndTheBrokenMeshIsCaught) {
    const Fault& f = GetParam();
    const cv::Mat alpha = blob();
    sm::Options o = options(f.tolerance, f.padding);
    o.min_hole_area = 0;
    sm::Result r = sm::mesh_opaque(alpha > 0, o, vellumcut::no_stop());
    ASSERT_EQ(r.parts.size(), 2u);
    const auto clean = sprite_mesh_problems(r, alpha, o);
    EXPECT_TRUE(clean.empty()) << joined(clean);
    f.apply(r, o);
    const auto broken = sprite_mesh_problems(r, alpha, o);
    EXPECT_TRUE(mentions(broken, f.expect)) << joined(broken);
}

INSTANTIATE_TEST_SUITE_P(Planted, SpriteGuaranteeFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& p) { return std::string(p.param.name); });

// The bound is compared exactly: a ring vertex exactly tolerance px from a
// pixel's corner passes (3-4-5 in sixteenths), one a rounding step further
// does not.
TEST(SpriteGuarantees, ToleranceBoundIsExactAtACorner) {
    const cv::Mat alpha(1, 1, CV_8UC1, cv::Scalar(255));
    const sm::Options o = options(0.3125, 0.0);
    const auto apex = [&](double x) {
        sm::Result r;
        r.w = r.h = 1;
        sm::PartMesh p;
        p.v = {-0.5, 0.5, -0.5, -0.75, x, -0.75};
        p.idx = {0, 1, 2};
        p.rings = {{0, 2, 1}};
        r.parts.push_back(p);
        return sprite_mesh_problems(r, alpha, o);
    };
    const auto at = apex(0.6875), beyond = apex(std::nextafter(0.6875, 1.0));
    EXPECT_FALSE(mentions(at, "lies more than")) << joined(at);
    EXPECT_TRUE(mentions(beyond, "lies more than")) << joined(beyond);
}
