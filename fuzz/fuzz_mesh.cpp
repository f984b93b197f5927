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

// VELLUMCUT_FUZZ_ISOLATE=unresolved keeps split graphs in this process, so
// that Triangle failing on a graph the splitting declared planar shows up
// as a finding instead of an exception from the child-process fallback.
namespace {
vellumcut::detail::MesherOptions options;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* mode = std::getenv("VELLUMCUT_FUZZ_ISOLATE");
    if (mode != nullptr && std::strcmp(mode, "unresolved") == 0) {
        options.isolation = vellumcut::detail::MesherOptions::Isolation::Unresolved;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vellumcut::fuzz::MeshInput in = vellumcut::fuzz::decode_mesh_input(data, size);
    try {
        const vellumcut::Mesh m = vellumcut::detail::constrained_mesh(in.outer, in.holes, in.extra, options);
        const std::size_t n = m.v.size() / 2;
        if (m.v.size() % 2 != 0 || m.idx.size() % 3 != 0) __builtin_trap();
        for (int i : m.idx) {
            if (i < 0 || static_cast<std::size_t>(i) >= n) __builtin_trap();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
