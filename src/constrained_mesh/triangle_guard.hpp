// Calls into the Triangle library that come back on its fatal paths.
//
// Triangle reports out-of-memory and internal-consistency failures by
// printing a message and calling triexit(), which by default ends the
// process. This module defines triexit (and the library's allocator hooks
// trimalloc and trifree) itself, with default visibility so that the
// library's calls bind to them instead of to its own.
#pragma once

#include "interrupt.hpp"

struct triangulateio;

namespace vellumcut {

// triangulate(switches, in, out, nullptr), except that a fatal exit inside
// the library throws std::runtime_error instead of ending the process.
// Everything the library allocated during a failed call is freed and `out`
// is left zeroed, so nothing leaks and nothing dangles.
void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out);

// guarded_triangulate run in a forked child process, for input the library
// might loop on or crash over: the child sends back the output points and
// triangles through a pipe and exits; its stdout and stderr go to /dev/null.
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
