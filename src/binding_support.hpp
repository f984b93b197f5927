// What both Python bindings (src/module.cpp for the core's functions,
// python/vellumcut/_mesher.cpp for the sprite mesher) share: the path
// argument, numpy arrays of results, and the one Ctrl-C adapter, a Stop that
// answers the interpreter's signal handlers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interrupt.hpp"

namespace vellumcut::binding {

// A file path as the bytes the operating system gets: a `str` encoded as
// Python's filesystem encoding does on POSIX (UTF-8 with surrogate escapes,
// so a name os.listdir() returned with undecodable bytes reads back as
// those bytes; the same UTF-8 as before for every other `str`), `bytes` and
// `bytearray` unchanged.
struct PathArg {
    std::string bytes;
};

// A C-ordered numpy array of `shape` holding `values` converted to T (the
// values must number the product of the shape).
template <class T, class Values>
pybind11::array_t<T> array_of(const Values& values, std::initializer_list<pybind11::ssize_t> shape) {
    pybind11::array_t<T> out{std::vector<pybind11::ssize_t>(shape)};  // C order
    std::copy(std::begin(values), std::end(values), out.mutable_data());
    return out;
}

// SIGINT while a call runs with the interpreter lock released. Python's own
// handler only notes a signal for the interpreter to act on later, which the
// call asks about between its steps; one library call (Triangle) can run
// for seconds without such a step. While any watch exists, SIGINT goes first
// to a handler that counts it and then calls the handler it replaced (the
// interpreter's), so that the call can see the count change from inside the
// library's allocator hook and end. Installed and removed with the
// interpreter lock held (so calls on several threads share one
// installation), only over a handler that is a function, and put back only
// if it is still in place.
namespace sigint {
inline std::atomic<std::uint64_t> count{0};
inline struct sigaction replaced;
inline int users = 0;
inline bool installed = false;
}  // namespace sigint

extern "C" inline void vellumcut_count_sigint(int sig) {
    sigint::count.fetch_add(1, std::memory_order_relaxed);
    sigint::replaced.sa_handler(sig);
}

extern "C" inline void vellumcut_count_sigint_info(int sig, siginfo_t* info, void* context) {
    sigint::count.fetch_add(1, std::memory_order_relaxed);
    sigint::replaced.sa_sigaction(sig, info, context);
}

class SigintWatch {
public:
    SigintWatch() {
        if (sigint::users++ == 0) {
            struct sigaction current;
            if (sigaction(SIGINT, nullptr, &current) == 0) {
                const bool info = (current.sa_flags & SA_SIGINFO) != 0;
                const bool function = info ? current.sa_sigaction != nullptr
                                           : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
                if (function) {
                    sigint::replaced = current;
                    struct sigaction counting = current;
                    if (info) {
                        counting.sa_sigaction = vellumcut_count_sigint_info;
                    } else {
                        counting.sa_handler = vellumcut_count_sigint;
                    }
                    sigint::installed = sigaction(SIGINT, &counting, nullptr) == 0;
                }
            }
        }
        start_ = sigint::count.load(std::memory_order_relaxed);
    }
    ~SigintWatch() {
        if (--sigint::users == 0 && sigint::installed) {
            struct sigaction current;
            if (sigaction(SIGINT, nullptr, &current) == 0 &&
                ((current.sa_flags & SA_SIGINFO) != 0 ? current.sa_sigaction == vellumcut_count_sigint_info
                                                       : current.sa_handler == vellumcut_count_sigint)) {
                sigaction(SIGINT, &sigint::replaced, nullptr);
            }
            sigint::installed = false;
        }
    }
    SigintWatch(const SigintWatch&) = delete;
    SigintWatch& operator=(const SigintWatch&) = delete;

    // Whether SIGINT arrived since the watch began; any thread, lock-free.
    static bool signalled(const void* self) {
        return sigint::count.load(std::memory_order_relaxed) != static_cast<const SigintWatch*>(self)->start_;
    }

private:
    std::uint64_t start_ = 0;
};

// The bindings' Ctrl-C adapter: a Stop whose poll() lets the interpreter
// run its signal handlers on the calling thread. The handler's exception
// (KeyboardInterrupt for Ctrl-C) is then pending and the call unwinds with
// Interrupted; a handler that returns normally lets the call go on.
//
// Two ways to run a call:
// * PythonStop() for a call that holds the interpreter lock throughout (the
//   core's functions): every poll asks the interpreter.
// * PythonStop(PythonStop::lock_released) for a call that releases the lock
//   (the sprite mesher): a poll takes the lock back for a moment at most
//   every 25 ms, the first 25 ms in (short calls never take it back), and a
//   SigintWatch makes cancelled() true as soon as SIGINT arrives, for
//   library code that cannot poll. Use it through run_interruptible().
class PythonStop : public Stop {
public:
    struct LockReleased {};
    static constexpr LockReleased lock_released{};

    PythonStop() noexcept : Stop(&ask_held, nullptr) {}

    explicit PythonStop(LockReleased) : Stop(&ask_released, this) {
        watch_.emplace();
        set_probe(&SigintWatch::signalled, &*watch_);
    }

private:
    static bool ask_held(void* /*self*/) { return PyErr_CheckSignals() != 0; }

    static bool ask_released(void* self) {
        auto* s = static_cast<PythonStop*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (now < s->next_) return false;
        s->next_ = now + std::chrono::milliseconds(25);
        pybind11::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    }

    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(25);
    std::optional<SigintWatch> watch_;
};

// Runs `call(stop)` (which releases the interpreter lock itself, after any
// conversion that needs it) with a lock-released PythonStop, and returns
// what it returns. When a SIGINT ends the call but its Python handler does
// not raise, the call starts again with a fresh stop; when the handler
// raised, its exception propagates (py::error_already_set).
template <class Call>
auto run_interruptible(Call&& call) -> decltype(call(std::declval<PythonStop&>())) {
    for (;;) {
        PythonStop stop(PythonStop::lock_released);
        try {
            return call(stop);
        } catch (const Interrupted&) {
            // The signal handler's exception is pending, or the handler has
            // yet to run.
            if (PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        }
    }
}

// Interrupted reaches Python as the exception the signal handler raised, or
// as KeyboardInterrupt when the stop came from elsewhere.
inline void register_interrupt_translation() {
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Interrupted&) {
            if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });
}

}  // namespace vellumcut::binding

namespace pybind11::detail {
template <>
struct type_caster<vellumcut::binding::PathArg> {
    PYBIND11_TYPE_CASTER(vellumcut::binding::PathArg, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        if (!src) return false;
        if (PyUnicode_Check(src.ptr())) {
            object encoded = reinterpret_steal<object>(
                PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogateescape"));
            if (!encoded) {  // a lone surrogate no escape stands for
                PyErr_Clear();
                return false;
            }
            value.bytes.assign(PyBytes_AS_STRING(encoded.ptr()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
            return true;
        }
        if (PyBytes_Check(src.ptr())) {
            value.bytes.assign(PyBytes_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(src.ptr())));
            return true;
        }
        if (PyByteArray_Check(src.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(src.ptr())));
            return true;
        }
        return false;
    }
};
}  // namespace pybind11::detail
