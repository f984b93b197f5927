// Python bindings: argument and result conversion only. Every function here
// forwards to the geometry core and turns its native result into a dict whose
// keys stand in a fixed order.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "outline.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

py::dict islands_py(const std::string& path, float eps, int margin) {
    vellumcut::IslandsResult r = vellumcut::islands(path, eps, margin);
    return py::dict("loops"_a = std::move(r.loops), "w"_a = r.w, "h"_a = r.h,
                    "scale"_a = r.scale);
}

}  // namespace

PYBIND11_MODULE(vellumcut_core, m) {
    m.doc() = "Vellumcut C++ core (Earcut + Triangle + Poisson)";

    m.def("islands", &islands_py, py::arg("path"), py::arg("eps"), py::arg("margin"));
}
