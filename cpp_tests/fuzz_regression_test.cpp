// Replays every input the fuzzers once failed on (tests/fuzz_regressions/)
// through the fuzz targets' own checks (fuzz/targets.hpp): a check that
// fails ends the test binary, as it ends the fuzzer.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "targets.hpp"

#ifndef VELLUMCUT_SOURCE_DIR
#error "VELLUMCUT_SOURCE_DIR must name the source tree"
#endif

namespace {

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            out.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    return out;
}

std::vector<unsigned char> read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

TEST(FuzzRegressions, MeshInputsAreRefusedOrMeshed) {
    const auto files = files_in(VELLUMCUT_SOURCE_DIR "/tests/fuzz_regressions/mesh");
    ASSERT_FALSE(files.empty());
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const auto data = read_all(path);
        vellumcut::fuzz::check_mesh_input(data.data(), data.size());
    }
}

TEST(FuzzRegressions, SpriteInputsAreRefusedOrKeepEveryGuarantee) {
    const auto files = files_in(VELLUMCUT_SOURCE_DIR "/tests/fuzz_regressions/sprite");
    ASSERT_FALSE(files.empty());
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const auto data = read_all(path);
        vellumcut::fuzz::check_sprite_input(data.data(), data.size());
    }
}

TEST(FuzzRegressions, ImageInputsAreRefusedOrLoaded) {
    for (const std::string& path : files_in(VELLUMCUT_SOURCE_DIR "/tests/fuzz_regressions/image")) {
        SCOPED_TRACE(path);
        const auto data = read_all(path);
        vellumcut::fuzz::check_image_input(data.data(), data.size());
    }
}
