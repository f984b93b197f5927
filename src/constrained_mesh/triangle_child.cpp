// Triangle in a forked child process (see triangle_guard.hpp).
#include "constrained_mesh/triangle_guard.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <triangle.h>

#include "forked_child.hpp"

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
        // The child is this one thread, and its copy of the mutex was taken
        // by the parent around fork(): it is not to be locked again here.
        guarded_triangulate_unlocked(job.switches, job.in, &out);
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
    const ChildOutput result = run_in_child(&child_main, &job, cpu_seconds, stop, "Triangle", &triangle_mutex());
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
