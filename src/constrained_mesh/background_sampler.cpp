#include "constrained_mesh/background_sampler.hpp"

#include <chrono>
#include <utility>

#include "constrained_mesh/sampler.hpp"

namespace vellumcut {

void BackgroundSampler::start(int width, int height) noexcept {
    if (thread_.joinable() || std::thread::hardware_concurrency() == 1) return;
    try {
        grid_ = sample_grid(width, height, radius_);  // throws for a size the sampler refuses
        width_ = width;
        height_ = height;
        worker_engine_ = engine_;
        thread_ = std::thread([this] {
            try {
                samples_ = poisson_disk_sample(grid_, width_, height_, radius_, attempts_,
                                               worker_engine_, &cancel_);
            } catch (...) {
                error_ = std::current_exception();
            }
            const std::lock_guard<std::mutex> lock(done_mutex_);
            done_ = true;
            done_signal_.notify_one();
        });
    } catch (...) {
        // No thread (std::system_error) or a refused size: take() draws here.
    }
}

std::vector<cv::Point2f> BackgroundSampler::take(const SampleGrid& grid, int width, int height,
                                                 Stop& stop) {
    if (thread_.joinable()) {
        if (width == width_ && height == height_) {
            // Wake at least every 5 ms to ask the stop; on Interrupted the
            // destructor cancels and joins the worker.
            std::unique_lock<std::mutex> lock(done_mutex_);
            while (!done_signal_.wait_for(lock, std::chrono::milliseconds(5),
                                          [this] { return done_; })) {
                lock.unlock();
                stop.poll();
                lock.lock();
            }
            lock.unlock();
            thread_.join();
            if (error_) std::rethrow_exception(error_);
            engine_ = worker_engine_;
            return std::move(samples_);
        }
        abandon();
    }
    return poisson_disk_sample(grid, width, height, radius_, attempts_, engine_, stop);
}

void BackgroundSampler::abandon() noexcept {
    if (thread_.joinable()) {
        cancel_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
}

}  // namespace vellumcut
