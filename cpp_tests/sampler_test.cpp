#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "constrained_mesh/block_mt19937.hpp"
#include "constrained_mesh/sampler.hpp"

using vellumcut::poisson_disk_sample;
using vellumcut::sample_grid;
using Points = std::vector<cv::Point2f>;

namespace {

// Distance as the sampler measures it: differences in float, norm in double.
double sampler_distance(const cv::Point2f& a, const cv::Point2f& b) {
    const double dx = static_cast<float>(a.x - b.x);
    const double dy = static_cast<float>(a.y - b.y);
    return std::sqrt(dx * dx + dy * dy);
}

Points run(int w, int h, float r, int attempts, std::uint32_t seed) {
    std::mt19937 engine(seed);
    return poisson_disk_sample(w, h, r, attempts, engine);
}

// Straightforward restatement of the sampling procedure without the grid:
// every candidate is compared with every accepted point. Because the grid
// scan must find every neighbour closer than r, both must make the same
// decisions and therefore consume the engine identically.
Points reference_sample(int w, int h, float r, int attempts, std::uint32_t seed) {
    std::mt19937 e(seed);
    auto unit = [&] { return static_cast<float>(e() >> 8) / 16777216.0f; };
    auto index = [&](std::uint32_t n) {
        for (;;) {
            const std::uint64_t m = static_cast<std::uint64_t>(e()) * n;
            if (static_cast<std::uint32_t>(m) >= (std::uint32_t{0} - n) % n) {
                return static_cast<std::size_t>(m >> 32);
            }
        }
    };
    const float W = static_cast<float>(w), H = static_cast<float>(h);
    const float x0 = unit() * W;
    const float y0 = unit() * H;
    Points out{{x0, y0}};
    Points active = out;
    while (!active.empty()) {
        const std::size_t i = index(static_cast<std::uint32_t>(active.size()));
        const cv::Point2f p = active[i];
        bool spawned = false;
        for (int k = 0; k < attempts && !spawned; ++k) {
            const float a = unit() * 6.2831855f;
            const float d = (unit() + 1.0f) * r;
            const cv::Point2f c(std::cos(a) * d + p.x, d * std::sin(a) + p.y);
            if (c.x < 0 || c.y < 0 || c.x >= W || c.y >= H) continue;
            bool far = true;
            for (const cv::Point2f& q : out) far = far && !(static_cast<double>(r) > sampler_distance(c, q));
            if (far) {
                out.push_back(c);
                active.push_back(c);
                spawned = true;
            }
        }
        if (!spawned) active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return out;
}

void expect_same(const Points& a, const Points& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].x, b[i].x) << "point " << i;
        ASSERT_EQ(a[i].y, b[i].y) << "point " << i;
    }
}

// Replays a fixed list of 32-bit outputs.
struct ScriptedEngine {
    std::vector<std::uint32_t> values;
    std::size_t next = 0;
    std::uint32_t operator()() { return values.at(next++); }
};

struct Case {
    int w, h;
    float r;
    std::uint32_t seed;
};

class SamplerCases : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(SamplerCases, MatchesGridFreeReference) {
    const Case c = GetParam();
    expect_same(run(c.w, c.h, c.r, 30, c.seed), reference_sample(c.w, c.h, c.r, 30, c.seed));
}

TEST_P(SamplerCases, PointsKeepDistanceAndStayInside) {
    const Case c = GetParam();
    const Points pts = run(c.w, c.h, c.r, 30, c.seed);
    ASSERT_GT(pts.size(), 1u);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        EXPECT_GE(pts[i].x, 0.0f);
        EXPECT_GE(pts[i].y, 0.0f);
        EXPECT_LT(pts[i].x, static_cast<float>(c.w));
        EXPECT_LT(pts[i].y, static_cast<float>(c.h));
        for (std::size_t j = 0; j < i; ++j) {
            ASSERT_GE(sampler_distance(pts[i], pts[j]), static_cast<double>(c.r))
                << "points " << j << " and " << i;
        }
    }
}

TEST_P(SamplerCases, FirstPointIsTheSeedPoint) {
    const Case c = GetParam();
    std::mt19937 e(c.seed);
    const float x0 = static_cast<float>(e() >> 8) / 16777216.0f * static_cast<float>(c.w);
    const float y0 = static_cast<float>(e() >> 8) / 16777216.0f * static_cast<float>(c.h);
    const Points pts = run(c.w, c.h, c.r, 30, c.seed);
    EXPECT_EQ(pts.front().x, x0);
    EXPECT_EQ(pts.front().y, y0);
}

INSTANTIATE_TEST_SUITE_P(Sampler, SamplerCases,
                         ::testing::Values(Case{100, 100, 10.0f, 1u}, Case{200, 150, 6.0f, 42u},
                                           Case{64, 300, 3.5f, 7u}, Case{37, 23, 1.0f, 2024u},
                                           Case{500, 40, 12.0f, 0xdeadbeefu}),
                         [](const ::testing::TestParamInfo<Case>& param_info) {
                             const Case& c = param_info.param;
                             std::string r = std::to_string(c.r);  // "3.500000"
                             r.erase(r.find_last_not_of('0') + 1);
                             if (r.back() == '.') r.pop_back();
                             for (char& ch : r) ch = ch == '.' ? 'p' : ch;
                             return std::to_string(c.w) + "x" + std::to_string(c.h) + "_r" + r +
                                    "_seed" + std::to_string(c.seed);
                         });

TEST(Sampler, SameSeedSamePointsOtherSeedOtherPoints) {
    const Points a = run(120, 90, 5.0f, 30, 11u);
    expect_same(a, run(120, 90, 5.0f, 30, 11u));
    const Points b = run(120, 90, 5.0f, 30, 12u);
    bool differs = a.size() != b.size();
    for (std::size_t i = 0; !differs && i < a.size(); ++i) differs = a[i] != b[i];
    EXPECT_TRUE(differs);
}

TEST(Sampler, RandomDeviceOverloadGivesValidVaryingSets) {
    const Points a = poisson_disk_sample(80, 80, 4.0f, 30);
    const Points b = poisson_disk_sample(80, 80, 4.0f, 30);
    ASSERT_GT(a.size(), 100u);
    EXPECT_TRUE(a.size() != b.size() || a.front() != b.front());
}

TEST(Sampler, NoAttemptsGiveOnlyTheSeedPoint) {
    for (int attempts : {0, -5}) {
        const Points pts = run(100, 100, 10.0f, attempts, 3u);
        ASSERT_EQ(pts.size(), 1u);
        expect_same(pts, Points{run(100, 100, 10.0f, 30, 3u).front()});
    }
}

TEST(Sampler, RadiusLargerThanTheAreaGivesOnePoint) {
    const auto g = sample_grid(10, 10, 100.0f);
    EXPECT_EQ(g.cols, 1);
    EXPECT_EQ(g.rows, 1);
    for (std::uint32_t seed : {1u, 2u, 3u}) EXPECT_EQ(run(10, 10, 100.0f, 30, seed).size(), 1u);
}

TEST(SampleGrid, Sizes) {
    const auto a = sample_grid(100, 100, 10.0f);
    EXPECT_FLOAT_EQ(a.cell, 7.0710678f);
    EXPECT_EQ(a.gx_max, 14);
    EXPECT_EQ(a.cols, 15);
    EXPECT_EQ(a.rows, 15);
    const auto b = sample_grid(640, 480, 8.0f);
    EXPECT_EQ(b.cols, 114);
    EXPECT_EQ(b.rows, 85);
}

TEST(SampleGrid, LargestGridsAreBoundedByInt32CellCount) {
    // 46340 x 46340 cells fit in an int32 count; 46341 x 46341 do not.
    const auto g = sample_grid(32767, 32767, 1.0f);
    EXPECT_EQ(g.cols, 46340);
    EXPECT_THROW(sample_grid(32768, 32768, 1.0f), std::invalid_argument);
    // Quotients beyond the int range must be refused, not converted.
    EXPECT_THROW(sample_grid(640, 480, 1e-12f), std::invalid_argument);
    EXPECT_THROW(sample_grid(640, 480, std::numeric_limits<float>::denorm_min()),
                 std::invalid_argument);
}

TEST(SampleGrid, RefusesUnusableArguments) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float r : {0.0f, -0.0f, -1.0f, nan, inf}) {
        EXPECT_THROW(sample_grid(10, 10, r), std::invalid_argument) << r;
        EXPECT_THROW(run(10, 10, r, 30, 1u), std::invalid_argument) << r;
    }
    EXPECT_THROW(sample_grid(0, 10, 1.0f), std::invalid_argument);
    EXPECT_THROW(sample_grid(10, -1, 1.0f), std::invalid_argument);
}

TEST(RandomMapping, UnitFloatUsesTopTwentyFourBits) {
    ScriptedEngine e{{0u, 0xFFu, 0x100u, 0xFFFFFFFFu, 0x80000000u}};
    EXPECT_EQ(vellumcut::unit_float(e), 0.0f);
    EXPECT_EQ(vellumcut::unit_float(e), 0.0f);  // the low 8 bits are discarded
    EXPECT_EQ(vellumcut::unit_float(e), std::ldexp(1.0f, -24));
    EXPECT_EQ(vellumcut::unit_float(e), 1.0f - std::ldexp(1.0f, -24));
    EXPECT_EQ(vellumcut::unit_float(e), 0.5f);
}

TEST(RandomMapping, UniformIndexRejectsOnlyTheBiasedLowRange) {
    // n = 3: (2^32 - 3) mod 3 = 1, so only a product whose low half is 0 is redrawn.
    ScriptedEngine e{{0u, 0xFFFFFFFFu, 0x55555556u, 0xAAAAAAABu}};
    EXPECT_EQ(vellumcut::uniform_index(e, 3), 2u);  // 0 rejected, then 3 * (2^32 - 1) >> 32
    EXPECT_EQ(e.next, 2u);
    EXPECT_EQ(vellumcut::uniform_index(e, 3), 1u);  // 3 * 0x55555556 = 2^32 + 2
    EXPECT_EQ(vellumcut::uniform_index(e, 3), 2u);  // 3 * 0xAAAAAAAB = 2 * 2^32 + 1
    EXPECT_EQ(e.next, 4u);
    // n = 1 never redraws and always gives 0.
    ScriptedEngine one{{0u, 123u}};
    EXPECT_EQ(vellumcut::uniform_index(one, 1), 0u);
    EXPECT_EQ(one.next, 1u);
}

#ifdef VELLUMCUT_HAVE_BLOCK_MT19937
// The block engine continues a std::mt19937 from wherever it stands (fresh
// from seeding, inside a block, at a block's end) with the same outputs over
// several blocks, and hands back the state the engine would have reached.
TEST(BlockMt19937, ContinuesAndHandsBackTheStandardEngine) {
    for (std::uint32_t seed : {5489u, 1u, 0xfffffffeu}) {
        for (int drawn_before : {0, 1, 396, 623, 624, 625, 1500}) {
            std::mt19937 standard(seed);
            standard.discard(static_cast<unsigned long long>(drawn_before));
            std::mt19937 handed = standard;
            vellumcut::BlockMt19937 block(handed);
            for (int i = 0; i < 3 * 624 + 17; ++i) {
                ASSERT_EQ(block(), standard()) << "seed " << seed << ", after " << drawn_before
                                               << " draws, output " << i;
            }
            block.store(handed);
            EXPECT_TRUE(handed == standard) << "seed " << seed << ", after " << drawn_before;
            EXPECT_EQ(handed(), standard());
        }
    }
}
#endif
