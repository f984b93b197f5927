// libFuzzer target: arbitrary bytes as rings and points for tri_mesh_debug
// (decoded by mesh_input.hpp). Refusals are exceptions; anything else is a
// finding. A result must also hold together: every index within the points.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "constrained_mesh/pslg.hpp"

#include "constrained_mesh/detail/mesher_steps.hpp"
#include "mesh_input.hpp"
#include "targets.hpp"

namespace vellumcut::fuzz {

void check_mesh_input(const std::uint8_t* data, std::size_t size, bool isolate_unresolved) {
    detail::MesherOptions options;
    if (isolate_unresolved) options.isolation = detail::MesherOptions::Isolation::Unresolved;
    const MeshInput in = decode_mesh_input(data, size);
    try {
        const Mesh m = detail::constrained_mesh(in.outer, in.holes, in.extra, options);
        const std::size_t n = m.v.size() / 2;
        if (m.v.size() % 2 != 0 || m.idx.size() % 3 != 0) __builtin_trap();
        for (int i : m.idx) {
            if (i < 0 || static_cast<std::size_t>(i) >= n) __builtin_trap();
        }
    } catch (const std::exception&) {
    }
}

}  // namespace vellumcut::fuzz

#ifndef VELLUMCUT_FUZZ_NO_MAIN
namespace {
bool isolate_unresolved = false;
}

// VELLUMCUT_FUZZ_ISOLATE=unresolved keeps split graphs in this process, so
// that Triangle failing on a graph the splitting declared planar shows up
// as a finding instead of an exception from the child-process fallback.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* mode = std::getenv("VELLUMCUT_FUZZ_ISOLATE");
    isolate_unresolved = mode != nullptr && std::strcmp(mode, "unresolved") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vellumcut::fuzz::check_mesh_input(data, size, isolate_unresolved);
    return 0;
}
#endif
