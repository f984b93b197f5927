#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "constrained_mesh/background_sampler.hpp"
#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/sampler.hpp"

using vellumcut::BackgroundSampler;
using vellumcut::poisson_disk_sample;
using Points = std::vector<cv::Point2f>;

namespace {

constexpr int kAttempts = 30;

struct Drawn {
    Points points;
    std::mt19937 engine_after;
};

// What drawing on the calling thread gives, and the engine state it leaves.
Drawn drawn_here(int w, int h, float r, std::uint32_t seed) {
    Drawn d{{}, std::mt19937(seed)};
    d.points = poisson_disk_sample(w, h, r, kAttempts, d.engine_after);
    return d;
}

}  // namespace

TEST(BackgroundSampler, TakeGivesWhatDrawingHereGives) {
    // Sizes the worker drew for, sizes that differ from the hint (the worker's
    // draws are thrown away and the engine starts from its original state),
    // and no hint at all.
    struct Case {
        int hint_w, hint_h, w, h;
        float r;
    };
    const Case cases[] = {{300, 200, 300, 200, 3.0f}, {64, 64, 64, 64, 1.5f},
                          {300, 200, 301, 200, 3.0f}, {300, 200, 300, 199, 2.0f},
                          {0, 0, 120, 90, 2.5f},      {1, 1, 1, 1, 4.0f}};
    std::uint32_t seed = 100;
    for (const Case& c : cases) {
        ++seed;
        const Drawn expected = drawn_here(c.w, c.h, c.r, seed);
        std::mt19937 engine(seed);
        BackgroundSampler sampler(c.r, kAttempts, engine);
        if (c.hint_w > 0) {
            sampler.start(c.hint_w, c.hint_h);
        }
        const Points got = sampler.take(c.w, c.h);
        EXPECT_EQ(got, expected.points) << c.w << " x " << c.h << " hint " << c.hint_w;
        EXPECT_TRUE(engine == expected.engine_after) << c.w << " x " << c.h;
        EXPECT_GT(got.size(), 0u);
    }
}

TEST(BackgroundSampler, SizeTheSamplerRefusesIsReportedByTake) {
    // A grid of more than 2^31 cells: start() quietly declines, take() throws
    // just as drawing here would.
    std::mt19937 engine(5);
    BackgroundSampler sampler(1e-3f, kAttempts, engine);
    sampler.start(100000, 100000);
    EXPECT_FALSE(sampler.started());
    EXPECT_THROW(sampler.take(100000, 100000), std::invalid_argument);
}

TEST(BackgroundSampler, AbandonedWorkLeavesTheEngineUntouched) {
    // A large area, abandoned at once: destruction stops and joins the worker
    // and the caller's engine has drawn nothing.
    std::mt19937 engine(77);
    {
        BackgroundSampler sampler(1.0f, kAttempts, engine);
        sampler.start(4000, 4000);
        EXPECT_TRUE(sampler.started() || std::thread::hardware_concurrency() == 1);
    }
    EXPECT_TRUE(engine == std::mt19937(77));
}

TEST(BackgroundSampler, StopFlagEndsSamplingWithAPrefix) {
    const Drawn full = drawn_here(900, 700, 2.0f, 9);
    const std::atomic<bool> stop{true};
    std::mt19937 engine(9);
    const Points cut = poisson_disk_sample(900, 700, 2.0f, kAttempts, engine, &stop);
    ASSERT_GT(cut.size(), 0u);
    ASSERT_LT(cut.size(), full.points.size());
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), full.points.begin()));

    // A flag that stays false changes nothing.
    const std::atomic<bool> go{false};
    std::mt19937 engine2(9);
    EXPECT_EQ(poisson_disk_sample(900, 700, 2.0f, kAttempts, engine2, &go), full.points);
    EXPECT_TRUE(engine2 == full.engine_after);
}

TEST(BackgroundSampler, PoissonPngReportsDecodeFailuresWhileSampling) {
    // A PNG whose header is fine but whose pixel data is cut off: the header
    // starts the worker, decoding fails, and the call reports the decoder's
    // failure after stopping the worker.
    cv::Mat bgra(1500, 1500, CV_8UC4);
    cv::randu(bgra, 0, 256);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(cv::imencode(".png", bgra, bytes));
    bytes.resize(bytes.size() / 3);
    const std::string path = ::testing::TempDir() + "/truncated_for_sampler.png";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::mt19937 engine(3);
    EXPECT_THROW(vellumcut::detail::poisson_png(path, 1.5f, 0, 1, engine), std::exception);
    EXPECT_TRUE(engine == std::mt19937(3));
}
