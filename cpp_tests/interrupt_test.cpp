// Stopping long calls, and the child processes that make uninterruptible
// library calls stoppable.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "constrained_mesh/background_sampler.hpp"
#include "constrained_mesh/detail/mesher_steps.hpp"
#include "constrained_mesh/detail/pipeline_stages.hpp"
#include "constrained_mesh/pslg.hpp"
#include "constrained_mesh/sampler.hpp"
#include "detail/earcut_steps.hpp"
#include "forked_child.hpp"
#include "interrupt.hpp"

using vellumcut::Interrupted;
using vellumcut::Loop;
using vellumcut::Stop;

namespace {

// No child of this process is left, running or as a zombie.
bool no_child_left() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Requests `stop` after `ms` milliseconds from another thread.
struct DelayedRequest {
    DelayedRequest(Stop& stop, int ms)
        : thread([&stop, ms] {
              std::this_thread::sleep_for(std::chrono::milliseconds(ms));
              stop.request();
          }) {}
    ~DelayedRequest() { thread.join(); }
    std::thread thread;
};

Loop square(float x0, float y0, float side) {
    return {{x0, y0}, {x0 + side, y0}, {x0 + side, y0 + side}, {x0, y0 + side}};
}

// A pixel grid of `n` x `n` square holes inside one outer square, as contours.
cv::Mat holes_mask(int holes_per_side) {
    const int size = holes_per_side * 4 + 8;
    cv::Mat mask(size, size, CV_8UC1, cv::Scalar(255));
    for (int i = 0; i < holes_per_side; ++i) {
        for (int j = 0; j < holes_per_side; ++j) mask.at<unsigned char>(6 + 4 * i, 6 + 4 * j) = 0;
    }
    cv::Mat bordered;
    cv::copyMakeBorder(mask, bordered, 2, 2, 2, 2, cv::BORDER_CONSTANT, cv::Scalar(0));
    return bordered;
}

}  // namespace

// Every long loop, given a stop that is already requested, ends by throwing
// Interrupted rather than finishing or returning part of its work.
TEST(Stop, EveryLongLoopEndsWithInterrupted) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coord(1.0f, 999.0f);
    Loop extra(300000);
    for (cv::Point2f& p : extra) p = {coord(rng), coord(rng)};
    std::vector<double> points;
    std::vector<int> segments;
    for (int i = 0; i < 20000; ++i) {  // a row of crossed pairs of diagonals
        const double x = 2.0 * i;
        points.insert(points.end(), {x, 0.0, x + 1.0, 3.0, x, 3.0, x + 1.0, 0.0});
        segments.insert(segments.end(), {4 * i, 4 * i + 1, 4 * i + 2, 4 * i + 3});
    }
    cv::Mat mask = holes_mask(40);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);

    const std::vector<std::pair<std::string, std::function<void(Stop&)>>> calls = {
        {"sampler", [](Stop& s) {
             std::mt19937 e(1);
             vellumcut::poisson_disk_sample(vellumcut::sample_grid(3000, 3000, 1.0f), 3000, 3000, 1.0f, 30, e, s);
         }},
        {"mesher points", [&](Stop& s) { vellumcut::constrained_mesh(square(0, 0, 1000), {}, extra, s); }},
        {"crossings", [&](Stop& s) {
             auto p = points;
             auto g = segments;
             vellumcut::resolve_crossings(p, g, 1 << 24, s);
         }},
        {"earcut groups", [&](Stop& s) {
             vellumcut::detail::mesh_traced(contours, hierarchy, 0.0, 0.0f, s);
         }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        Stop stop;
        stop.request();
        EXPECT_THROW(call(stop), Interrupted);
        // The same call with a stop that is never requested completes.
        Stop never;
        if (name != "sampler" && name != "mesher points") {
            EXPECT_NO_THROW(call(never));
        }
    }
    EXPECT_TRUE(no_child_left());
}

// A stop requested while the worker draws ends take() with Interrupted, the
// worker joined and the caller's engine untouched.
TEST(Stop, BackgroundSamplerUnwindsWithTheWorkerJoined) {
    std::mt19937 engine(77);
    {
        vellumcut::BackgroundSampler sampler(1.0f, 30, engine);
        sampler.start(4000, 4000);
        Stop stop;
        DelayedRequest later(stop, 30);
        EXPECT_THROW(sampler.take(4000, 4000, stop), Interrupted);
    }
    EXPECT_TRUE(engine == std::mt19937(77));
}

// The clearance map over the region's box equals OpenCV's transform of the
// whole map, for regions anywhere, touching any edge, with holes.
TEST(RegionClearance, EqualsTheTransformOfTheWholeMap) {
    struct Case {
        const char* name;
        cv::Size size;
        cv::Rect blob;     // filled rectangle
        cv::Point centre;  // disc centre
        int radius;        // disc radius (0: none)
        cv::Rect hole;     // cleared rectangle
    };
    const Case cases[] = {
        {"small island far from the edges", {300, 200}, {140, 90, 3, 3}, {0, 0}, 0, {}},
        {"disc with a hole", {257, 311}, {}, {120, 150}, 90, {100, 130, 30, 25}},
        {"touching the top-left corner", {128, 96}, {0, 0, 60, 40}, {50, 40}, 30, {}},
        {"touching the right and bottom edges", {128, 96}, {70, 50, 58, 46}, {0, 0}, 0, {90, 60, 8, 8}},
        {"the whole map", {64, 48}, {0, 0, 64, 48}, {0, 0}, 0, {20, 20, 5, 5}},
        {"one pixel", {50, 50}, {49, 0, 1, 1}, {0, 0}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat region = cv::Mat::zeros(c.size, CV_8UC1);
        if (c.blob.area() > 0) region(c.blob).setTo(255);
        if (c.radius > 0) cv::circle(region, c.centre, c.radius, cv::Scalar(255), cv::FILLED);
        if (c.hole.area() > 0) region(c.hole).setTo(0);
        cv::Mat whole;
        cv::distanceTransform(region, whole, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
        std::vector<cv::Point> on;
        cv::findNonZero(region, on);
        const cv::Mat boxed = vellumcut::detail::region_clearance(region, cv::boundingRect(on));
        ASSERT_EQ(boxed.type(), CV_32FC1);
        ASSERT_EQ(boxed.size(), whole.size());
        EXPECT_EQ(cv::norm(boxed, whole, cv::NORM_INF), 0.0);
    }
}

// 65,536 one-pixel holes keep earcut busy for minutes; in its child process
// it is stopped at once, and no child is left.
TEST(EarcutInChild, StopEndsALongGroupAtOnce) {
    cv::Mat mask = holes_mask(256);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    Stop stop;
    DelayedRequest later(stop, 300);
    EXPECT_THROW(vellumcut::detail::mesh_traced(contours, hierarchy, 0.0, 0.0f, stop), Interrupted);
    EXPECT_TRUE(no_child_left());
}

// Many one-pixel holes: the group goes to a child process, whose indices
// are those earcut gives here.
TEST(EarcutInChild, GivesTheIndicesOfTheInProcessCall) {
    cv::Mat mask = holes_mask(30);
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
    const double never = std::numeric_limits<double>::infinity();
    const auto here = vellumcut::detail::mesh_traced(contours, hierarchy, 0.0, 0.0f,
                                                     vellumcut::no_stop(), never);
    const auto child = vellumcut::detail::mesh_traced(contours, hierarchy, 0.0, 0.0f,
                                                      vellumcut::no_stop(), 0.0);
    ASSERT_EQ(here.size(), child.size());
    ASSERT_FALSE(here.empty());
    for (std::size_t g = 0; g < here.size(); ++g) {
        EXPECT_EQ(here[g].idx, child[g].idx);
        EXPECT_EQ(here[g].v, child[g].v);
    }
    EXPECT_GT(here[0].idx.size(), 3u * 900u);
    EXPECT_TRUE(no_child_left());
}

namespace {

int sleep_then_answer(int fd, void*) {
    ::usleep(1200 * 1000);  // wall-clock time, no processor time
    return vellumcut::write_all(fd, "done", 4) ? 0 : 3;
}

int spin(int, void*) {
    volatile unsigned long n = 0;
    for (;;) n = n + 1;
}

int chatter_then_answer(int fd, void*) {
    const char noise[] = "Internal error in segmentintersection():\n";
    (void)!::write(STDOUT_FILENO, noise, sizeof noise - 1);
    (void)!::write(STDERR_FILENO, noise, sizeof noise - 1);
    std::printf("%s", noise);
    std::fflush(stdout);
    return vellumcut::write_all(fd, "ok", 2) ? 0 : 3;
}

int sleep_forever(int, void*) {
    for (;;) ::pause();
}

// Runs `body` with this process's fd 1 and 2 on a temporary file; returns
// what was written to them.
std::string captured_streams(const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    char path[] = "/tmp/vellumcut-streams-XXXXXX";
    const int file = ::mkstemp(path);
    const int saved_out = ::dup(STDOUT_FILENO), saved_err = ::dup(STDERR_FILENO);
    ::dup2(file, STDOUT_FILENO);
    ::dup2(file, STDERR_FILENO);
    body();
    std::fflush(stdout);
    ::dup2(saved_out, STDOUT_FILENO);
    ::dup2(saved_err, STDERR_FILENO);
    ::close(saved_out);
    ::close(saved_err);
    std::string text(4096, '\0');
    const ssize_t n = ::pread(file, text.data(), text.size(), 0);
    ::close(file);
    ::unlink(path);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

}  // namespace

// The deadline counts the child's processor time: a child that waits longer
// than its limit without computing finishes; one that computes is stopped.
TEST(ForkedChild, DeadlineCountsProcessorTimeNotTheClock) {
    const auto waited = vellumcut::run_in_child(&sleep_then_answer, nullptr, 0.3,
                                                vellumcut::no_stop(), "test");
    EXPECT_FALSE(waited.timed_out);
    EXPECT_TRUE(waited.exited_cleanly);
    EXPECT_EQ(std::string(waited.data.begin(), waited.data.end()), "done");

    const auto spun = vellumcut::run_in_child(&spin, nullptr, 0.3, vellumcut::no_stop(), "test");
    EXPECT_TRUE(spun.timed_out);
    EXPECT_FALSE(spun.exited_cleanly);
    EXPECT_TRUE(no_child_left());
}

TEST(ForkedChild, WritesNothingToTheHostsStreams) {
    vellumcut::ChildOutput out;
    const std::string written = captured_streams([&out] {
        out = vellumcut::run_in_child(&chatter_then_answer, nullptr, 5.0, vellumcut::no_stop(), "test");
    });
    EXPECT_EQ(written, "");
    EXPECT_EQ(std::string(out.data.begin(), out.data.end()), "ok");
}

// A stop ends the wait at once; the child is killed and reaped.
TEST(ForkedChild, StopKillsAndReapsTheChild) {
    Stop stop;
    DelayedRequest later(stop, 50);
    EXPECT_THROW(vellumcut::run_in_child(&sleep_forever, nullptr, 0.0, stop, "test"), Interrupted);
    EXPECT_TRUE(no_child_left());
}

// A host thread blocked in wait() may reap the mesher's child before the
// mesher does: the mesh is still the one Triangle computed.
TEST(ForkedChild, ChildReapedByAnotherThreadStillGivesTheMesh) {
    vellumcut::detail::MesherOptions in_process;
    in_process.isolation = vellumcut::detail::MesherOptions::Isolation::Never;
    vellumcut::detail::MesherOptions isolated;
    isolated.isolation = vellumcut::detail::MesherOptions::Isolation::Always;
    const Loop outer = {{0, 0}, {10, 0}, {10, 10}, {5, 3}, {0, 10}};
    const Loop extra = {{2, 2}, {8, 4}, {5, 8}};
    const vellumcut::Mesh expected =
        vellumcut::detail::constrained_mesh(outer, {}, extra, in_process);

    std::atomic<bool> done{false};
    std::atomic<int> reaped{0};
    std::thread reaper([&] {
        while (!done.load()) {
            if (::wait(nullptr) > 0) ++reaped;
        }
    });
    int same = 0;
    for (int i = 0; i < 20; ++i) {
        const vellumcut::Mesh got = vellumcut::detail::constrained_mesh(outer, {}, extra, isolated);
        same += got.v == expected.v && got.idx == expected.idx;
    }
    done = true;
    reaper.join();
    EXPECT_EQ(same, 20);
    EXPECT_GT(reaped.load(), 0) << "the other thread never got to a child first";
}

// A simple polygon with a million free points inside is fully checked by the
// crossing finder (it used to run out of its test budget, so the input went
// to a child process with a deadline although nothing crosses).
TEST(CrossingBudget, ManyFreePointsInOneSimplePolygonAreChecked) {
    std::vector<double> points = {0, 0, 1000, 0, 1000, 1000, 0, 1000};
    std::vector<int> segments = {0, 1, 1, 2, 2, 3, 3, 0};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(1.0f, 999.0f);
    for (int i = 0; i < 1300000; ++i) {
        points.push_back(coord(rng));
        points.push_back(coord(rng));
    }
    const vellumcut::CrossingResolution r = vellumcut::resolve_crossings(points, segments, 1 << 24);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.added_points, 0u);
}
