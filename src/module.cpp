// Python bindings: argument and result conversion only. Every function here
// forwards to the geometry core and turns its native result into a dict whose
// keys stand in a fixed order.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>

#include "binding_support.hpp"
#include "constrained_mesh/mesher.hpp"
#include "constrained_mesh/pipeline.hpp"
#include "earcut_mesh.hpp"
#include "outline.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

// Point lists (`outer`, `extra`, each hole) from Python: a sequence whose
// items are each a sequence of two real numbers (x then y), or a numpy array
// of shape (N, 2) of any real dtype, read in one go without a Python call per
// point. Coordinates are narrowed to float32 through float64, so both forms
// give the same points. Anything else fails to load (TypeError).
namespace pybind11::detail {
template <>
struct type_caster<std::vector<cv::Point2f>> {
    PYBIND11_TYPE_CASTER(std::vector<cv::Point2f>, const_name("list[tuple[float, float]]"));

    bool load(handle src, bool /*convert*/) {
        if (!src || PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr())) return false;
        if (is_numpy_array(src)) return load_array(reinterpret_borrow<array>(src));
        if (!PySequence_Check(src.ptr())) return false;
        const auto seq = reinterpret_borrow<sequence>(src);
        value.clear();
        value.reserve(seq.size());
        for (const auto& item : seq) {
            if (!load_point(item)) return false;
        }
        return true;
    }

private:
    // An ndarray can only exist once numpy is imported; checking sys.modules
    // first keeps plain-list calls from importing numpy.
    static bool is_numpy_array(handle src) {
        PyObject* modules = PyImport_GetModuleDict();
        return PyDict_GetItemString(modules, "numpy") != nullptr && isinstance<array>(src);
    }

    bool load_array(const array& a) {
        const char kind = a.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u') return false;
        if (a.size() == 0 && a.ndim() <= 2) {  // (0,) or (0, 2)
            value.clear();
            return a.ndim() == 1 || a.shape(1) == 2;
        }
        if (a.ndim() != 2 || a.shape(1) != 2) return false;
        auto d = array_t<double, array::c_style | array::forcecast>::ensure(a);
        if (!d) {
            PyErr_Clear();
            return false;
        }
        const double* p = d.data();
        value.resize(static_cast<std::size_t>(d.shape(0)));
        for (cv::Point2f& pt : value) {
            pt = cv::Point2f(static_cast<float>(p[0]), static_cast<float>(p[1]));
            p += 2;
        }
        return true;
    }

    static bool load_coord(handle h, float& out) {
        // A nested sequence (a one-element array, say) is not a number.
        if (PySequence_Check(h.ptr()) || PyUnicode_Check(h.ptr())) return false;
        const double d = PyFloat_AsDouble(h.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<float>(d);
        return true;
    }

    bool load_point(handle item) {
        if (PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr()) ||
            !PySequence_Check(item.ptr())) {
            return false;
        }
        const Py_ssize_t n = PySequence_Size(item.ptr());
        if (n != 2) {
            if (n < 0) PyErr_Clear();
            return false;
        }
        cv::Point2f p;
        for (Py_ssize_t i = 0; i < 2; ++i) {
            object c = reinterpret_steal<object>(PySequence_GetItem(item.ptr(), i));
            if (!c) {
                PyErr_Clear();
                return false;
            }
            if (!load_coord(c, i == 0 ? p.x : p.y)) return false;
        }
        value.push_back(p);
        return true;
    }
};
}  // namespace pybind11::detail

namespace {

using vellumcut::binding::PathArg;
using vellumcut::binding::PythonStop;

py::dict islands_py(const PathArg& path, float eps, int margin) {
    PythonStop stop;
    vellumcut::IslandsResult r = vellumcut::islands(path.bytes, eps, margin, stop);
    return py::dict("loops"_a = std::move(r.loops), "w"_a = r.w, "h"_a = r.h,
                    "scale"_a = r.scale);
}

py::dict triangulate_png_py(const PathArg& path, float eps, int margin, float maxA) {
    PythonStop stop;
    vellumcut::EarcutResult r = vellumcut::triangulate_png(path.bytes, eps, margin, maxA, stop);
    std::vector<py::dict> groups;
    groups.reserve(r.groups.size());
    for (vellumcut::EarcutGroup& g : r.groups) {
        groups.push_back(py::dict("v"_a = std::move(g.v), "idx"_a = std::move(g.idx)));
    }
    return py::dict("groups"_a = std::move(groups), "w"_a = r.w, "h"_a = r.h,
                    "scale"_a = r.scale);
}

// The constrained mesher's result as {"v": float64 (N, 2), "idx": int32 (3K,)}.
// poisson_png adds its own keys to the same dict.
py::dict mesh_to_dict(const vellumcut::Mesh& mesh) {
    const auto n = static_cast<py::ssize_t>(mesh.v.size() / 2);
    return py::dict("v"_a = vellumcut::binding::array_of<double>(mesh.v, {n, 2}),
                    "idx"_a = vellumcut::binding::array_of<int>(mesh.idx, {static_cast<py::ssize_t>(mesh.idx.size())}));
}

// The mesher's dict with the mask size and scale added after "v" and "idx".
py::dict poisson_png_py(const PathArg& path, float eps, int margin, int rpx) {
    PythonStop stop;
    const vellumcut::PoissonResult r = vellumcut::poisson_png(path.bytes, eps, margin, rpx, stop);
    py::dict d = mesh_to_dict(r.mesh);
    d["w"] = r.w;
    d["h"] = r.h;
    d["scale"] = static_cast<double>(r.scale);
    return d;
}

py::dict tri_mesh_debug_py(const vellumcut::Loop& outer, const std::vector<vellumcut::Loop>& holes,
                           const vellumcut::Loop& extra) {
    PythonStop stop;
    return mesh_to_dict(vellumcut::tri_mesh_debug(outer, holes, extra, stop));
}

}  // namespace

PYBIND11_MODULE(vellumcut_core, m) {
    m.doc() = "Vellumcut C++ core (Earcut + Triangle + Poisson)";
    vellumcut::binding::register_interrupt_translation();

    m.def("islands", &islands_py, py::arg("path"), py::arg("eps"), py::arg("margin"));
    m.def("triangulate_png", &triangulate_png_py, py::arg("path"), py::arg("eps"),
          py::arg("margin"), py::arg("maxA"));
    m.def("poisson_png", &poisson_png_py, py::arg("path"), py::arg("eps"), py::arg("margin"),
          py::arg("rpx"));
    m.def("tri_mesh_debug", &tri_mesh_debug_py, py::arg("outer"), py::arg("holes"),
          py::arg("extra"));
}
