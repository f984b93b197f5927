// Calls into the Triangle library that come back on its fatal paths.
//
// Triangle reports out-of-memory and internal-consistency failures by
// printing a message and calling triexit(), which by default ends the
// process. This module defines triexit (and the library's allocator hooks
// trimalloc and trifree) itself, with default visibility so that the
// library's calls bind to them instead of to its own.
//
// The library keeps process-wide state, so every call into it in this
// process, from either extension module, holds one mutex. The hooks, the
// mutex and guarded_triangulate live in a small shared library that both
// modules link (triangle_guard.cpp); isolated_triangulate, which forks,
// lives in the geometry core (triangle_child.cpp).
#pragma once

#include <mutex>

#include "interrupt.hpp"

struct triangulateio;

namespace vellumcut {

// The one mutex of every Triangle call in the process. Whoever holds it must
// never wait for the Python interpreter lock.
std::mutex& triangle_mutex();

// triangulate(switches, in, out, nullptr) under triangle_mutex(), except that
// a fatal exit inside the library throws std::runtime_error instead of ending
// the process. Everything the library allocated during a failed call is freed
// and `out` is left zeroed, so nothing leaks and nothing dangles.
//
// With `cancel`, the call also ends (throwing Interrupted, with the same
// clean-up) at the library's next allocation after cancel->cancelled() turns
// true: refinement allocates as it grows, so a long call can be stopped.
void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out,
                         const Stop* cancel = nullptr);

// The same without taking the mutex: for a forked child, the only thread of
// its process, whose copy of the mutex the parent held across fork().
void guarded_triangulate_unlocked(char* switches, triangulateio* in, triangulateio* out,
                                  const Stop* cancel = nullptr);

// guarded_triangulate run in a forked child process, for input the library
// might loop on or crash over: the child sends back the output points and
// triangles through a pipe and exits; its stdout and stderr go to /dev/null.
// The mutex is held across fork() only, so the child's copy of the library's
// state is whole and other threads wait for no longer than the fork.
// Fills only out->pointlist, numberofpoints, trianglelist, numberoftriangles
// and numberofcorners (blocks to release with trifree). Throws
// std::runtime_error when the child crashes, when it has used more than
// `cpu_seconds` of processor time (or ten times that, at least a minute, of
// wall-clock time; `cpu_seconds` <= 0: no deadline), when the library fails
// in it, or when it cannot be watched; ChildUnavailable (a runtime_error)
// when no child can be started. `stop` is polled every 10 ms or so. On every way out
// the child has ended and been reaped.
void isolated_triangulate(char* switches, triangulateio* in, triangulateio* out,
                          double cpu_seconds, Stop& stop = no_stop());

}  // namespace vellumcut
