// Calls into the Triangle library that come back on its fatal paths.
//
// Triangle reports out-of-memory and internal-consistency failures by
// printing a message and calling triexit(), which by default ends the
// process. This module defines triexit (and the library's allocator hooks
// trimalloc and trifree) itself, with default visibility so that the
// library's calls bind to them instead of to its own.
#pragma once

#include <mutex>

struct triangulateio;

namespace vellumcut {

// The library keeps process-wide state, so every call into it in this
// process (both extension modules') holds this one mutex, which lives in the
// shared library both link. guarded_triangulate takes it; whoever holds it
// must never wait for the Python interpreter lock.
std::mutex& triangle_mutex();

// triangulate(switches, in, out, nullptr) under triangle_mutex(), except that a fatal exit inside
// the library throws std::runtime_error instead of ending the process.
// Everything the library allocated during a failed call is freed and `out`
// is left zeroed, so nothing leaks and nothing dangles.
void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out);

// guarded_triangulate run in a forked child process, for input the library
// might loop on or crash over: the child sends back the output points and
// triangles through a pipe and exits. Fills only out->pointlist,
// numberofpoints, trianglelist, numberoftriangles and numberofcorners (blocks
// to release with trifree). Throws std::runtime_error when the child
// crashes, when it has not finished after `seconds`, when the library fails
// in it, or when no child can be started; a child that overruns is killed
// and reaped before the throw.
void isolated_triangulate(char* switches, triangulateio* in, triangulateio* out, double seconds);

}  // namespace vellumcut
