#include "constrained_mesh/triangle_guard.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

std::mutex& triangle_mutex() {
    static std::mutex m;
    return m;
}

namespace {

void guarded_triangulate_locked(char* switches, triangulateio* in, triangulateio* out) {
    Session session;
    session.live.reserve(64);
    if (run(session, switches, in, out)) return;

    for (void* p : session.live) std::free(p);
    // The output record may point at blocks just freed.
    std::memset(out, 0, sizeof *out);
    if (session.out_of_memory) throw std::runtime_error("Triangle ran out of memory");
    throw std::runtime_error("Triangle failed (internal error)");
}

}  // namespace

void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out) {
    const std::lock_guard<std::mutex> lock(triangle_mutex());
    guarded_triangulate_locked(switches, in, out);
}

}  // namespace vellumcut

namespace vellumcut {
namespace {

constexpr std::int32_t kMagic = 0x76637472;  // "vctr"

bool write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The child: it shares nothing with the parent from here on and leaves
// through _exit, so no atexit handler, stdio flush or destructor of the
// parent's state runs in it. Besides the library and malloc it only calls
// write() and _exit().
[[noreturn]] void child_main(int fd, char* switches, triangulateio* in) {
    triangulateio out;
    std::memset(&out, 0, sizeof out);
    std::int32_t header[5] = {kMagic, 0, 0, 0, 0};
    try {
        // The child is this thread alone and the mutex, copied locked, is
        // not ours to take again.
        guarded_triangulate_locked(switches, in, &out);
    } catch (const std::exception& e) {
        const std::size_t len = std::strlen(e.what());
        header[1] = 1;
        header[2] = static_cast<std::int32_t>(len);
        const bool ok = write_all(fd, header, sizeof header) && write_all(fd, e.what(), len);
        ::_exit(ok ? 0 : 3);
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
    ::_exit(ok ? 0 : 3);
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

}  // namespace

void isolated_triangulate(char* switches, triangulateio* in, triangulateio* out, double seconds) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot start a process for Triangle: " + std::string(std::strerror(errno)));
    }
    // Fork while no other thread is inside the library, so the child's copy
    // of its process-wide state is whole.
    std::unique_lock<std::mutex> lock(triangle_mutex());
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("cannot start a process for Triangle: " + std::string(std::strerror(err)));
    }
    if (pid == 0) {
        ::close(fds[0]);
        child_main(fds[1], switches, in);
    }
    lock.unlock();
    ::close(fds[1]);

    // Read everything the child sends until it closes the pipe (it exits)
    // or the deadline passes.
    std::vector<char> data;
    bool timed_out = false;
    const double deadline = now_seconds() + seconds;
    for (;;) {
        const double left = deadline - now_seconds();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(std::min(left * 1000.0 + 1.0, double{INT_MAX})));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) continue;  // the loop head decides whether time is up
        char chunk[1 << 16];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n > 0) {
            data.insert(data.end(), chunk, chunk + n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            break;
        }
    }
    ::close(fds[0]);
    if (timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    // With SIGCHLD ignored the child reaps itself (ECHILD); its output alone
    // then tells whether it finished.
    const bool status_known = reaped == pid;

    if (timed_out) {
        throw std::runtime_error("Triangle did not finish within " + seconds_text(seconds) +
                                 " s on these rings (stopped)");
    }
    if (status_known && WIFSIGNALED(status)) {
        throw std::runtime_error("Triangle crashed on these rings (signal " +
                                 std::to_string(WTERMSIG(status)) + ")");
    }
    std::int32_t header[5];
    if ((status_known && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) || data.size() < sizeof header) {
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
