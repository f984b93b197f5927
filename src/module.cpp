// Python bindings: argument and result conversion only. Every function here
// forwards to the geometry core and turns its native result into a dict whose
// keys stand in a fixed order.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "earcut_mesh.hpp"
#include "outline.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

py::dict islands_py(const std::string& path, float eps, int margin) {
    vellumcut::IslandsResult r = vellumcut::islands(path, eps, margin);
    return py::dict("loops"_a = std::move(r.loops), "w"_a = r.w, "h"_a = r.h,
                    "scale"_a = r.scale);
}

py::dict triangulate_png_py(const std::string& path, float eps, int margin, float maxA) {
    vellumcut::EarcutResult r = vellumcut::triangulate_png(path, eps, margin, maxA);
    std::vector<py::dict> groups;
    groups.reserve(r.groups.size());
    for (vellumcut::EarcutGroup& g : r.groups) {
        groups.push_back(py::dict("v"_a = std::move(g.v), "idx"_a = std::move(g.idx)));
    }
    return py::dict("groups"_a = std::move(groups), "w"_a = r.w, "h"_a = r.h,
                    "scale"_a = r.scale);
}

}  // namespace

PYBIND11_MODULE(vellumcut_core, m) {
    m.doc() = "Vellumcut C++ core (Earcut + Triangle + Poisson)";

    m.def("islands", &islands_py, py::arg("path"), py::arg("eps"), py::arg("margin"));
    m.def("triangulate_png", &triangulate_png_py, py::arg("path"), py::arg("eps"),
          py::arg("margin"), py::arg("maxA"));
}
