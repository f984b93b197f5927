// Triangle's hooks, its one mutex and the guarded call: built as a shared
// library that both extension modules link (see triangle_guard.hpp).
#include "constrained_mesh/triangle_guard.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_set>

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
    const Stop* cancel = nullptr;
    bool cancelled = false;
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
    if (active != nullptr && active->cancel != nullptr && active->cancel->cancelled()) {
        active->cancelled = true;
        std::longjmp(active->jump, 1);
    }
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

void guarded_triangulate_unlocked(char* switches, triangulateio* in, triangulateio* out, const Stop* cancel) {
    Session session;
    session.live.reserve(64);
    session.cancel = cancel;
    if (run(session, switches, in, out)) return;

    for (void* p : session.live) std::free(p);
    // The output record may point at blocks just freed.
    std::memset(out, 0, sizeof *out);
    if (session.cancelled) throw Interrupted();
    if (session.out_of_memory) throw std::runtime_error("Triangle ran out of memory");
    throw std::runtime_error("Triangle failed (internal error)");
}

void guarded_triangulate(char* switches, triangulateio* in, triangulateio* out, const Stop* cancel) {
    const std::lock_guard<std::mutex> lock(triangle_mutex());
    guarded_triangulate_unlocked(switches, in, out, cancel);
}

}  // namespace vellumcut
