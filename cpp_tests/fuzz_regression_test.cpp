// Replays every input the fuzzers once failed on (tests/fuzz_regressions/),
// through the same decoding the fuzz targets use.
#include <gtest/gtest.h>

#include <dirent.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "constrained_mesh/mesher.hpp"
#include "mesh_input.hpp"

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

}  // namespace

TEST(FuzzRegressions, MeshInputsAreRefusedOrMeshed) {
    for (const std::string& path : files_in(VELLUMCUT_SOURCE_DIR "/tests/fuzz_regressions/mesh")) {
        SCOPED_TRACE(path);
        std::ifstream f(path, std::ios::binary);
        const std::vector<unsigned char> data((std::istreambuf_iterator<char>(f)), {});
        const auto in = vellumcut::fuzz::decode_mesh_input(data.data(), data.size());
        try {
            const vellumcut::Mesh m = vellumcut::tri_mesh_debug(in.outer, in.holes, in.extra);
            for (int i : m.idx) EXPECT_LT(static_cast<std::size_t>(i), m.v.size() / 2);
        } catch (const std::exception&) {
        }
    }
}
