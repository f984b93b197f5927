// What each fuzz target does with one input. libFuzzer calls these through
// LLVMFuzzerTestOneInput; cpp_tests/fuzz_regression_test.cpp calls them on
// every kept finding, so the findings are replayed by exactly the checks that
// found them (a broken check ends the process, as under the fuzzer).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellumcut::fuzz {

// Bytes as an image file: header check, PNG decoders against OpenCV, and the
// three image functions.
void check_image_input(const std::uint8_t* data, std::size_t size);

// Bytes as rings and points (mesh_input.hpp) for the constrained mesher.
// `isolate_unresolved` keeps split graphs in this process (see fuzz_mesh.cpp).
void check_mesh_input(const std::uint8_t* data, std::size_t size, bool isolate_unresolved = false);

// Bytes as a sprite and options (sprite_input.hpp) for the sprite mesher,
// whose result must keep every guarantee (sprite_guarantees.hpp).
void check_sprite_input(const std::uint8_t* data, std::size_t size);

}  // namespace vellumcut::fuzz
