// Triangle's record types, and an owner for what the library allocates into
// an output record. Include this instead of <triangle.h>, which has no
// include guard.
#pragma once

#include <cstring>

#include <triangle.h>

namespace vellumcut {

// Owns the arrays Triangle allocates into an output record. The hole and
// region lists are only copies of the input record's pointers and are not
// ours to free.
struct TriangleOutput {
    triangulateio io;
    TriangleOutput() { std::memset(&io, 0, sizeof io); }
    ~TriangleOutput() {
        void* owned[] = {io.pointlist,    io.pointattributelist, io.pointmarkerlist,
                         io.trianglelist, io.triangleattributelist, io.neighborlist,
                         io.segmentlist,  io.segmentmarkerlist,  io.edgelist,
                         io.edgemarkerlist, io.normlist};
        for (void* p : owned) {
            if (p != nullptr) trifree(p);
        }
    }
    TriangleOutput(const TriangleOutput&) = delete;
    TriangleOutput& operator=(const TriangleOutput&) = delete;
};

}  // namespace vellumcut
