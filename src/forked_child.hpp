// Work that cannot poll a stop itself (a library call that may run for
// minutes, or crash, or never return), run in a forked child process that
// the caller can stop at any moment.
//
// The child computes on its copy of the caller's memory and sends its
// result back through a pipe; the parent reads it while it polls the call's
// Stop and watches the child's processor time. Nothing the child does can
// reach the host: its stdout and stderr go to /dev/null, and it leaves
// through _exit, so no atexit handler, stdio flush or destructor runs in it.
#pragma once

#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "interrupt.hpp"

namespace vellumcut {

// No child process could be had (pipe or fork failed); the message says why.
class ChildUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes all of `data` to `fd`, retrying on EINTR; false on failure. For
// the child's use.
bool write_all(int fd, const void* data, std::size_t size);

// What the child runs: it writes its result to `fd` and returns the exit
// status the parent sees (0 for success). It must not throw.
using ChildMain = int (*)(int fd, void* context);

struct ChildOutput {
    std::vector<char> data;     // everything the child wrote
    bool timed_out = false;     // stopped by the processor-time deadline or the wall-clock backstop
    bool status_known = false;  // false when another thread of the host reaped the child first
    bool exited_cleanly = false;  // status known, exit status 0
    int term_signal = 0;          // the signal that ended it, when status known
};

// Runs main(fd, context) in a forked child and collects what it writes
// until it closes the pipe. `cpu_seconds` > 0 limits the child's processor
// time (read from /proc); the wall clock only backs that up, at ten times
// the limit and at least a minute, so a starved machine does not fail a
// call that an idle one passes. `cpu_seconds` <= 0: no deadline at all.
// `stop` is polled every 10 ms; when it throws, the child is killed and
// reaped before the exception leaves. On every way out (result, deadline,
// stop, a failed poll or read, bad_alloc) the child has ended and been
// reaped. Throws ChildUnavailable when no child can be started, and
// std::runtime_error when it cannot be watched; both messages name `what`.
// `held_across_fork`, when given, is locked for the fork() alone, so that no
// other thread is inside the state it guards while the child's copy is made;
// the child's copy stays locked and is not the child's to take.
ChildOutput run_in_child(ChildMain main, void* context, double cpu_seconds, Stop& stop,
                         const char* what, std::mutex* held_across_fork = nullptr);

}  // namespace vellumcut
