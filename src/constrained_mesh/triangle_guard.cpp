#include "constrained_mesh/triangle_guard.hpp"

#include "forked_child.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <triangle.h>

#define VELLUMCUT_EXPORT __attribute__((visibility("default")))

namespace vellumcut {
namespace {

// One guarded triangulate() call on this thread. Triangle keeps its working
// state in the locals of triangulate() and in blocks from trimalloc, so
// jumping out of it abandons nothing but those blocks, which are listed here
// and freed after the jump.
struct Session {
    std::jmp_buf jump;
    std::unordered_set<void*> live;
    bool out_of_memory = false;
};

thread_local Session* active = nullptr;

}  // namespace
}  // namespace vellumcut

// The library's three hooks. They keep its calling conventions: trimalloc
// takes an int byte count, and neither ever returns an error.
extern "C" {

VELLUMCUT_EXPORT void triexit(int status) {
    using vellumcut::active;
    if (active != nullptr) std::longjmp(active->jump, 1);
    // Not inside a guarded call (another user of the library in this
    // process): behave as the library's own triexit.
    std::exit(status);
}

VELLUMCUT_EXPORT void* trimalloc(int size) {
    using vellumcut::active;
    // The library computes some sizes in int; a negative one is an overflow,
    // which its own trimalloc would pass to malloc as a 4 GiB request.
    void* p = size < 0 ? nullptr : std::malloc(size == 0 ? 1 : static_cast<std::size_t>(size));
    if (active != nullptr) {
        if (p != nullptr) {
            try {
                active->live.insert(p);
            } catch (const std::bad_alloc&) {
                std::free(p);
                p = nullptr;
            }
        }
        if (p == nullptr) {
            active->out_of_memory = true;
            triexit(1);
        }
        return p;
    }
    if (p == nullptr) triexit(1);
    return p;
}

VELLUMCUT_EXPORT void trifree(VOID* memptr) {
    using vellumcut::active;
    if (memptr == nullptr) return;
    if (active != nullptr) active->live.erase(memptr);
    std::free(memptr);
}

}  // extern "C"

namespace vellumcut {

namespace {

// Kept apart from the throwing code: nothing with a destructor lives in this
// frame between setjmp and the jump back to it.
bool run(Session& session, char* switches, triangulateio* in, triangulateio* out) {
    Session* const previous = active;
    active = &session;
    if (setjmp(session.jump) == 0) {
        triangulate(switches, in, out, nullptr);
        active = previous;
        return true;
    }
    active = previous;
    return false;
}

}  // namespace

void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out) {
    Session session;
    session.live.reserve(64);
    if (run(session, switches, in, out)) return;

    for (void* p : session.live) std::free(p);
    // The output record may point at blocks just freed.
    std::memset(out, 0, sizeof *out);
    if (session.out_of_memory) throw std::runtime_error("Triangle ran out of memory");
    throw std::runtime_error("Triangle failed (internal error)");
}

}  // namespace vellumcut

namespace vellumcut {
namespace {

constexpr std::int32_t kMagic = 0x76637472;  // "vctr"

// The child's side: Triangle's output, or its failure message, down the
// pipe. Runs in the forked child with stdout and stderr on /dev/null.
struct ChildJob {
    char* switches;
    triangulateio* in;
};

int child_main(int fd, void* context) {
    const ChildJob& job = *static_cast<const ChildJob*>(context);
    triangulateio out;
    std::memset(&out, 0, sizeof out);
    std::int32_t header[5] = {kMagic, 0, 0, 0, 0};
    try {
        guarded_triangulate(job.switches, job.in, &out);
    } catch (const std::exception& e) {
        const std::size_t len = std::strlen(e.what());
        header[1] = 1;
        header[2] = static_cast<std::int32_t>(len);
        const bool ok = write_all(fd, header, sizeof header) && write_all(fd, e.what(), len);
        return ok ? 0 : 3;
    }
    header[2] = out.numberofpoints;
    header[3] = out.numberoftriangles;
    header[4] = out.numberofcorners;
    const bool ok =
        write_all(fd, header, sizeof header) &&
        write_all(fd, out.pointlist, 2 * sizeof(double) * static_cast<std::size_t>(out.numberofpoints)) &&
        write_all(fd, out.trianglelist,
                  sizeof(int) * static_cast<std::size_t>(out.numberofcorners) *
                      static_cast<std::size_t>(out.numberoftriangles));
    return ok ? 0 : 3;
}

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

}  // namespace

void isolated_triangulate(char* switches, triangulateio* in, triangulateio* out,
                          double cpu_seconds, Stop& stop) {
    ChildJob job{switches, in};
    const ChildOutput result = run_in_child(&child_main, &job, cpu_seconds, stop, "Triangle");
    const std::vector<char>& data = result.data;
    const bool status_known = result.status_known;
    if (result.timed_out) {
        throw std::runtime_error("Triangle did not finish within " + seconds_text(cpu_seconds) +
                                 " s on these rings (stopped)");
    }
    if (status_known && result.term_signal != 0) {
        throw std::runtime_error("Triangle crashed on these rings (signal " +
                                 std::to_string(result.term_signal) + ")");
    }
    std::int32_t header[5];
    if ((status_known && !result.exited_cleanly) || data.size() < sizeof header) {
        throw std::runtime_error("Triangle crashed on these rings");
    }
    std::memcpy(header, data.data(), sizeof header);
    const std::size_t body = data.size() - sizeof header;
    if (header[0] != kMagic) throw std::runtime_error("Triangle crashed on these rings");
    if (header[1] != 0) {
        if (header[2] < 0 || static_cast<std::size_t>(header[2]) != body) {
            throw std::runtime_error("Triangle crashed on these rings");
        }
        throw std::runtime_error(std::string(data.data() + sizeof header, body));
    }
    const std::int32_t npoints = header[2], ntri = header[3], corners = header[4];
    if (npoints < 0 || ntri < 0 || (corners != 3 && ntri > 0)) {
        throw std::runtime_error("Triangle crashed on these rings");
    }
    const std::size_t point_bytes = 2 * sizeof(double) * static_cast<std::size_t>(npoints);
    const std::size_t tri_bytes = sizeof(int) * 3 * static_cast<std::size_t>(ntri);
    if (body != point_bytes + tri_bytes) throw std::runtime_error("Triangle crashed on these rings");
    const char* p = data.data() + sizeof header;
    for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(ntri); ++i) {
        int v;
        std::memcpy(&v, p + point_bytes + i * sizeof v, sizeof v);
        if (v < 0 || v >= npoints) throw std::runtime_error("Triangle returned a broken mesh");
    }

    std::memset(out, 0, sizeof *out);
    auto* points = static_cast<double*>(std::malloc(point_bytes == 0 ? 1 : point_bytes));
    auto* triangles = static_cast<int*>(std::malloc(tri_bytes == 0 ? 1 : tri_bytes));
    if (points == nullptr || triangles == nullptr) {
        std::free(points);
        std::free(triangles);
        throw std::bad_alloc();
    }
    std::memcpy(points, p, point_bytes);
    std::memcpy(triangles, p + point_bytes, tri_bytes);
    out->pointlist = points;
    out->numberofpoints = npoints;
    out->trianglelist = triangles;
    out->numberoftriangles = ntri;
    out->numberofcorners = 3;
}

}  // namespace vellumcut
