// Poisson-disk sampling on a second thread, for a caller that learns the
// sampled area's size before it has finished the work the samples are for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "constrained_mesh/sampler.hpp"
#include "interrupt.hpp"

namespace vellumcut {

// poisson_png knows the mask's size from the file's header, long before the
// image is decoded and traced, and the sampler needs nothing else; drawing
// the samples meanwhile on a second core hides most of the sampler's time.
//
// The worker draws from a copy of the caller's engine and touches nothing
// else that is shared. take() returns exactly the points that
// poisson_disk_sample would return on the calling thread, and leaves the
// caller's engine in the state it would then have. When no thread can be
// started, the size given to take() differs from the one given to start(),
// or the object is destroyed first (the call was abandoned), the worker is
// told to stop, joined, and its work discarded.
class BackgroundSampler {
public:
    BackgroundSampler(float radius, int attempts, std::mt19937& engine)
        : radius_(radius), attempts_(attempts), engine_(engine) {}
    BackgroundSampler(const BackgroundSampler&) = delete;
    BackgroundSampler& operator=(const BackgroundSampler&) = delete;
    ~BackgroundSampler() { abandon(); }

    // Starts drawing for a width x height area. Does nothing when a worker
    // was already started, when the sampler would refuse the size (the caller
    // reports that itself, in its own order) or when no thread can be had.
    void start(int width, int height) noexcept;

    // Whether a worker is drawing or has drawn for the size given to start().
    bool started() const { return thread_.joinable(); }

    // The samples for a width x height area on `grid` (sample_grid's for
    // that size), from the worker when it drew for that size, otherwise
    // drawn here. While the worker draws, `stop` is polled every few
    // milliseconds; when it throws Interrupted the worker is told to stop
    // and joined first.
    std::vector<cv::Point2f> take(const SampleGrid& grid, int width, int height,
                                  Stop& stop = no_stop());

    // As above with the grid made here; throws what sample_grid throws.
    std::vector<cv::Point2f> take(int width, int height, Stop& stop = no_stop()) {
        return take(sample_grid(width, height, radius_), width, height, stop);
    }

private:
    void abandon() noexcept;

    const float radius_;
    const int attempts_;
    std::mt19937& engine_;
    std::mt19937 worker_engine_;
    SampleGrid grid_;
    int width_ = 0;
    int height_ = 0;
    std::atomic<bool> cancel_{false};
    std::mutex done_mutex_;
    std::condition_variable done_signal_;
    bool done_ = false;  // guarded by done_mutex_
    std::vector<cv::Point2f> samples_;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace vellumcut
