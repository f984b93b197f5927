// libFuzzer target: arbitrary bytes as rings and points for tri_mesh_debug
// (decoded by mesh_input.hpp). Refusals are exceptions; anything else is a
// finding. A result must also hold together: every index within the points.
#include <cstdint>
#include <exception>

#include "constrained_mesh/mesher.hpp"
#include "mesh_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vellumcut::fuzz::MeshInput in = vellumcut::fuzz::decode_mesh_input(data, size);
    try {
        const vellumcut::Mesh m = vellumcut::tri_mesh_debug(in.outer, in.holes, in.extra);
        const std::size_t n = m.v.size() / 2;
        if (m.v.size() % 2 != 0 || m.idx.size() % 3 != 0) __builtin_trap();
        for (int i : m.idx) {
            if (i < 0 || static_cast<std::size_t>(i) >= n) __builtin_trap();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
