// Cooperative stopping for long computations.
//
// A call that may run for seconds takes a `Stop&` and calls `poll()` every
// few milliseconds' worth of work. `poll()` throws `Interrupted` once a stop
// was requested, so the call unwinds through its owners (RAII) and leaves
// nothing behind. Whoever runs the call decides what a stop means: the
// Python bindings ask the interpreter whether a signal is pending (Ctrl-C)
// and, on `Interrupted`, let the exception the signal handler raised
// propagate; C++ callers and tests use `request()` or no stop at all.
//
// Threads: `request()` and `requested()` may be used from any thread. The
// `ask` callback runs only on the thread that constructed the Stop (the one
// the bindings may call back into the interpreter from); `poll()` on any
// other thread sees only requests. Helper threads that poll a plain flag can
// be given `flag()`.
#pragma once

#include <atomic>
#include <exception>
#include <thread>

namespace vellumcut {

class Interrupted final : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

class Stop {
public:
    // Returns true when the computation should stop now.
    using Ask = bool (*)(void* context);
    // Returns true when a stop may be wanted; any thread may call it at any
    // time, so it must neither lock nor call into anything that might wait.
    using Probe = bool (*)(const void* context);

    // Stops only when asked to through request().
    Stop() noexcept = default;
    Stop(Ask ask, void* context) noexcept : ask_(ask), context_(context) {}

    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    // A lock-free check for code that cannot call poll() (a library's
    // allocation hook, say): cancelled() reports it, and poll() on the
    // owning thread then asks `ask` at once.
    void set_probe(Probe probe, const void* context) noexcept {
        probe_ = probe;
        probe_context_ = context;
    }
    bool cancelled() const noexcept { return requested() || (probe_ != nullptr && probe_(probe_context_)); }

    void request() noexcept { flag_.store(true, std::memory_order_relaxed); }
    bool requested() const noexcept { return flag_.load(std::memory_order_relaxed); }
    const std::atomic<bool>* flag() const noexcept { return &flag_; }

    // Throws Interrupted when a stop was requested or, on the owning thread,
    // when `ask` says so (which also marks the stop as requested, so that
    // helper threads polling flag() end too).
    void poll() {
        if (!requested() && probe_ != nullptr && probe_(probe_context_)) throw Interrupted();
        if (!requested() && ask_ != nullptr && std::this_thread::get_id() == owner_ &&
            ask_(context_)) {
            request();
        }
        if (requested()) throw Interrupted();
    }

private:
    std::atomic<bool> flag_{false};
    Ask ask_ = nullptr;
    void* context_ = nullptr;
    Probe probe_ = nullptr;
    const void* probe_context_ = nullptr;
    std::thread::id owner_ = std::this_thread::get_id();
};

// A Stop that never stops, for callers without one.
inline Stop& no_stop() {
    thread_local Stop never;
    return never;
}

}  // namespace vellumcut
