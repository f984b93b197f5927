// Bindings of the sprite mesher (vellumcut._mesher): the mesher's options
// (defaults, limits and checks, all read from src/sprite_mesh/options.hpp),
// argument and result conversion, the interpreter lock released while the
// mesher computes, and Ctrl-C through binding_support.hpp's PythonStop.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "binding_support.hpp"
#include "sprite_mesh/boundary.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace sm = vellumcut::sprite;
using vellumcut::binding::PathArg;
using vellumcut::binding::PythonStop;
using vellumcut::binding::array_of;

namespace {

// Refusals reach Python as data: vellumcut.errors.ImageRefused carries the
// kind and numbers, vellumcut.errors.OptionError the option's name, so no
// caller has to read the message text.
[[noreturn]] void raise_refused(const vellumcut::ImageRefused& e, const py::object& path) {
    const vellumcut::Refusal& r = e.refusal();
    const py::object cls = py::module_::import("vellumcut.errors").attr("ImageRefused");
    const py::object exc = cls(e.what(), "kind"_a = vellumcut::kind_name(r.kind), "path"_a = path,
                               "format"_a = vellumcut::format_name(r.format), "width"_a = r.width,
                               "height"_a = r.height, "limit"_a = r.limit, "size"_a = r.bytes,
                               "channels"_a = r.channels, "errno"_a = r.error_number);
    PyErr_SetObject(cls.ptr(), exc.ptr());
    throw py::error_already_set();
}

// OptionError(option, requirement[, value]): the value is the one the caller
// gave for that option, when it gave one.
[[noreturn]] void raise_option(const sm::OptionRefused& e, const py::dict& given) {
    const py::object cls = py::module_::import("vellumcut.errors").attr("OptionError");
    const py::str key(e.option());
    const py::object exc = given.contains(key) ? cls(e.option(), e.requirement(), given[key])
                                               : cls(e.option(), e.requirement());
    PyErr_SetObject(cls.ptr(), exc.ptr());
    throw py::error_already_set();
}

// --- options from Python values ------------------------------------------------

bool is_text(py::handle v) {
    return PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || PyByteArray_Check(v.ptr());
}

[[noreturn]] void wrong_type(const sm::OptionRule& rule, const char* kind, py::handle v) {
    throw py::type_error(std::string(rule.name) + " must be " + kind + ", got " +
                         py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>());
}

// Any real number but a bool or text (numpy scalars and Fractions too); a
// number too large for a double is infinite, and so out of range.
double real_of(const sm::OptionRule& rule, py::handle v) {
    if (PyBool_Check(v.ptr()) || is_text(v)) wrong_type(rule, "a number", v);
    double d = 0;
    if (PyFloat_Check(v.ptr())) {
        d = PyFloat_AS_DOUBLE(v.ptr());
    } else {
        const py::object f = py::reinterpret_steal<py::object>(PyNumber_Float(v.ptr()));
        if (f) {
            d = PyFloat_AsDouble(f.ptr());
        } else {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError) != 0;
            PyErr_Clear();
            if (!overflow) wrong_type(rule, "a number", v);
            d = std::numeric_limits<double>::infinity();
        }
    }
    sm::check_option(rule, d);
    return d;
}

// Any integer but a bool (numpy's too), within the C++ type of the option
// and then within its range.
template <class T>
T integer_of(const sm::OptionRule& rule, py::handle v) {
    if (PyBool_Check(v.ptr()) || is_text(v) || !PyIndex_Check(v.ptr())) wrong_type(rule, "an integer", v);
    const py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
    if (!i) throw py::error_already_set();
    T value{};
    if constexpr (std::is_unsigned_v<T>) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(i.ptr());
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            PyErr_Clear();  // negative, or beyond 64 bits
            throw sm::OptionRefused(rule.name, rule.requirement);
        }
        value = static_cast<T>(u);
    } else {
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        const bool low = overflow < 0 || (overflow == 0 && s < std::numeric_limits<T>::min());
        const bool high = overflow > 0 || (overflow == 0 && s > std::numeric_limits<T>::max());
        if (low || (high && (std::isfinite(rule.max) || !std::isfinite(rule.min)))) {
            throw sm::OptionRefused(rule.name, high && rule.above ? rule.above : rule.requirement);
        }
        if (high) {  // beyond the C++ type of a rule bounded below only
            throw sm::OptionRefused(rule.name, "must be at most " + std::to_string(std::numeric_limits<T>::max()));
        }
        value = static_cast<T>(s);
    }
    sm::check_option(rule, static_cast<double>(value));
    return value;
}

// The options of a call from its keywords (names as Python spells them;
// missing ones keep their defaults), checked as validate() does. None is
// "no cap" for max_vertices and "a random one" for seed; None and "auto"
// are the automatic spacing. TypeError for a value of the wrong type or an
// unknown name, OptionRefused for a value out of range.
sm::Options options_from(const py::dict& given) {
    sm::Options o;
    for (const auto& item : given) {
        const std::string name = py::str(item.first).cast<std::string>();
        const py::handle v = item.second;
        const sm::OptionRule* rule = nullptr;
        try {
            rule = &sm::option_rule(name);
        } catch (const std::out_of_range&) {
            throw py::type_error("unknown option '" + name + "'");
        }
        if (name == "alpha_threshold") {
            o.alpha_threshold = integer_of<int>(*rule, v);
        } else if (name == "tolerance") {
            o.tolerance = real_of(*rule, v);
        } else if (name == "padding") {
            o.padding = real_of(*rule, v);
        } else if (name == "max_vertices") {
            o.max_vertices = v.is_none() ? 0 : integer_of<long long>(*rule, v);
        } else if (name == "strict_budget") {
            o.strict_budget = py::bool_(py::reinterpret_borrow<py::object>(v));
        } else if (name == "interior") {
            if (!PyUnicode_Check(v.ptr())) throw sm::OptionRefused(rule->name, rule->requirement);
            o.interior = sm::interior_named(v.cast<std::string>());
        } else if (name == "spacing") {
            if (v.is_none() || (PyUnicode_Check(v.ptr()) && v.cast<std::string>() == "auto")) {
                o.spacing = 0;
            } else if (PyUnicode_Check(v.ptr())) {
                throw sm::OptionRefused(rule->name, rule->requirement);
            } else {
                o.spacing = real_of(*rule, v);
            }
        } else if (name == "min_angle") {
            o.min_angle = real_of(*rule, v);
        } else if (name == "seed") {
            o.seeded = !v.is_none();
            o.seed = o.seeded ? integer_of<std::uint64_t>(*rule, v) : 0;
        } else if (name == "min_island_area") {
            o.min_island_area = integer_of<long long>(*rule, v);
        } else if (name == "min_hole_area") {
            o.min_hole_area = integer_of<long long>(*rule, v);
        } else if (name == "margin") {
            o.margin = integer_of<int>(*rule, v);
        } else {
            throw std::logic_error("option '" + name + "' has a rule but no conversion");
        }
    }
    sm::validate(o);
    return o;
}

// The options as Python spells them: {name: value} in the rules' order,
// with None for no cap and a random seed, "auto" for the automatic spacing.
py::dict params_of(const sm::Options& o) {
    py::dict d;
    d["alpha_threshold"] = o.alpha_threshold;
    d["tolerance"] = o.tolerance;
    d["padding"] = o.padding;
    d["max_vertices"] = o.max_vertices == 0 ? py::object(py::none()) : py::object(py::int_(o.max_vertices));
    d["interior"] = sm::interior_name(o.interior);
    d["spacing"] = o.spacing == 0 ? py::object(py::str("auto")) : py::object(py::float_(o.spacing));
    d["min_angle"] = o.min_angle;
    d["seed"] = o.seeded ? py::object(py::int_(o.seed)) : py::object(py::none());
    d["min_island_area"] = o.min_island_area;
    d["min_hole_area"] = o.min_hole_area;
    d["margin"] = o.margin;
    d["strict_budget"] = o.strict_budget;
    return d;
}

py::dict checked_params(const py::kwargs& given) {
    try {
        return params_of(options_from(given));
    } catch (const sm::OptionRefused& e) {
        raise_option(e, given);
    }
}

// An integer bound of a rule: its own, or its C++ type's when infinite.
py::object integer_bound(const sm::OptionRule& r, double bound) {
    if (std::isfinite(bound)) return py::int_(static_cast<long long>(bound));
    if (bound < 0) {
        return r.integer_bits == 32 ? py::int_(std::numeric_limits<std::int32_t>::min())
                                    : py::int_(std::numeric_limits<std::int64_t>::min());
    }
    if (r.is_unsigned) return py::int_(std::numeric_limits<std::uint64_t>::max());
    return r.integer_bits == 32 ? py::int_(std::numeric_limits<std::int32_t>::max())
                                : py::int_(std::numeric_limits<std::int64_t>::max());
}

py::dict limits() {
    py::dict out;
    for (const sm::OptionRule* r = sm::option_rules_begin(); r != sm::option_rules_end(); ++r) {
        py::dict d;
        switch (r->type) {
            case sm::OptionType::integer:
                d["min"] = integer_bound(*r, r->min);
                d["max"] = integer_bound(*r, r->max);
                break;
            case sm::OptionType::real:
                d["min"] = r->min;
                d["max"] = std::isfinite(r->max) ? py::object(py::float_(r->max)) : py::object(py::none());
                break;
            case sm::OptionType::choice: {
                py::list names;
                for (const char* n : sm::kInteriorNames) names.append(n);
                d["choices"] = names;
                break;
            }
            case sm::OptionType::flag:
                break;
        }
        if (r->type == sm::OptionType::integer || r->type == sm::OptionType::real) {
            d["min_exclusive"] = r->min_open;
        }
        d["requirement"] = r->requirement;
        out[r->name] = d;
    }
    return out;
}

// --- meshing -----------------------------------------------------------------

py::dict to_python(const sm::Result& r) {
    py::list parts;
    std::size_t done = 0;
    for (const sm::PartMesh& p : r.parts) {
        // Converting a million tiny parts takes seconds: let Ctrl-C in.
        if ((++done & 1023) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
        py::list rings;
        for (const auto& ring : p.rings) rings.append(array_of<std::int64_t>(ring, {static_cast<py::ssize_t>(ring.size())}));
        parts.append(py::dict("v"_a = array_of<double>(p.v, {static_cast<py::ssize_t>(p.v.size() / 2), 2}),
                              "idx"_a = array_of<std::int64_t>(p.idx, {static_cast<py::ssize_t>(p.idx.size() / 3), 3}),
                              "rings"_a = rings));
    }
    return py::dict("w"_a = r.w, "h"_a = r.h, "parts"_a = parts, "budget_applied"_a = r.budget_applied,
                    "overdraw_before"_a = r.overdraw_before, "overdraw"_a = r.overdraw, "under_10"_a = r.under_10,
                    "budget"_a = r.budget);
}

// An image array's samples, read with the interpreter lock held.
struct Samples {
    py::array c;  // C order, so that one row stride describes it
    int rows = 0, cols = 0, channels = 0, bytes = 0;
};

Samples samples_of(const py::object& image) {
    if (!py::isinstance<py::array>(image)) throw py::type_error("image must be a path (str) or a numpy array");
    const py::array a = py::reinterpret_borrow<py::array>(image);
    const int ndim = static_cast<int>(a.ndim());
    if (ndim != 2 && ndim != 3) {
        throw std::invalid_argument("image: expected an array of shape (H, W), (H, W, 3) or (H, W, 4)");
    }
    Samples s;
    s.channels = ndim == 2 ? 1 : static_cast<int>(a.shape(2));
    s.bytes = static_cast<int>(a.itemsize());
    if (a.dtype().kind() != 'u' || (s.bytes != 1 && s.bytes != 2)) {
        throw std::invalid_argument("image: expected uint8 or uint16 samples, got " +
                                    py::str(a.dtype()).cast<std::string>());
    }
    s.c = py::array::ensure(a, py::array::c_style);
    s.rows = static_cast<int>(s.c.shape(0));
    s.cols = static_cast<int>(s.c.shape(1));
    return s;
}

py::dict mesh(const py::object& image, const py::kwargs& given) {
    sm::Options o;
    try {
        o = options_from(given);
    } catch (const sm::OptionRefused& e) {
        raise_option(e, given);
    }
    const bool from_file = py::isinstance<py::str>(image);
    bool alpha = true;
    sm::Result result;
    try {
        if (from_file) {
            const PathArg path = image.cast<PathArg>();
            result = vellumcut::binding::run_interruptible([&](PythonStop& stop) {
                py::gil_scoped_release nogil;
                return sm::mesh_framed(sm::load_opaque(path.bytes, o.alpha_threshold, &alpha), o, stop);
            });
        } else {
            const Samples s = samples_of(image);
            const void* data = s.c.data();
            const auto stride = static_cast<std::size_t>(s.c.strides(0));
            alpha = s.channels != 3;
            result = vellumcut::binding::run_interruptible([&](PythonStop& stop) {
                py::gil_scoped_release nogil;
                return sm::mesh_framed(
                    sm::opaque_from_samples(data, s.rows, s.cols, stride, s.channels, s.bytes, o.alpha_threshold),
                    o, stop);
            });
        }
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, from_file ? image : py::object(py::str("(array)")));
    } catch (const sm::OptionRefused& e) {
        raise_option(e, given);
    }
    py::dict out = to_python(result);
    out["has_alpha"] = alpha;
    out["options"] = params_of(o);
    return out;
}

// What the loader makes of a file: {'format', 'width', 'height', 'channels',
// 'has_alpha', 'bits', 'floating'}, or ImageRefused.
py::dict probe(const py::object& path) {
    const PathArg p = path.cast<PathArg>();
    sm::ImageInfo info;
    try {
        py::gil_scoped_release nogil;
        info = sm::probe_image(p.bytes);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    return py::dict("format"_a = vellumcut::format_name(info.format), "width"_a = info.width,
                    "height"_a = info.height, "channels"_a = info.channels, "has_alpha"_a = info.has_alpha,
                    "bits"_a = info.bits, "floating"_a = info.floating);
}

// A framed mask (CV_8UC1, any non-zero opaque) as a uint8 0/1 array.
py::array_t<std::uint8_t> mask_array(const cv::Mat& mask) {
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(mask.rows), static_cast<py::ssize_t>(mask.cols)});
    for (int y = 0; y < mask.rows; ++y) {
        const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
        std::uint8_t* dst = out.mutable_data(y);
        for (int x = 0; x < mask.cols; ++x) dst[x] = row[x] != 0;
    }
    return out;
}

// The framed opaque mask of a file by the mesher's rule (alpha > threshold;
// no alpha: all opaque), as uint8 0/1 of (H + 2) x (W + 2), and whether the
// image had alpha.
py::tuple opaque(const py::object& path, int alpha_threshold) {
    const PathArg p = path.cast<PathArg>();
    sm::Opaque mask;
    bool alpha = true;
    try {
        py::gil_scoped_release nogil;
        mask = sm::load_opaque(p.bytes, alpha_threshold, &alpha);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    return py::make_tuple(mask_array(mask), alpha);
}

// One read of a file for drawing and meshing: (rgba or None, mask, has_alpha),
// rgba uint8 (H, W, 4), mask as opaque()'s.
py::tuple image(const py::object& path, int alpha_threshold) {
    const PathArg arg = path.cast<PathArg>();
    sm::LoadedImage loaded;
    try {
        py::gil_scoped_release nogil;
        loaded = sm::load_image(arg.bytes, alpha_threshold);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    py::object rgba = py::none();
    if (!loaded.rgba.empty()) {
        const cv::Mat& p = loaded.rgba;
        py::array_t<std::uint8_t> a({static_cast<py::ssize_t>(p.rows), static_cast<py::ssize_t>(p.cols),
                                     py::ssize_t{4}});
        for (int y = 0; y < p.rows; ++y) {
            std::copy(p.ptr<std::uint8_t>(y), p.ptr<std::uint8_t>(y) + 4 * static_cast<std::size_t>(p.cols),
                      a.mutable_data(y));
        }
        rgba = std::move(a);
    }
    return py::make_tuple(rgba, mask_array(loaded.framed), loaded.alpha);
}

// The outline rings of any triangle mesh, by the walker the mesher uses.
py::list boundary_rings(const py::array_t<double, py::array::c_style | py::array::forcecast>& vertices,
                        const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& triangles) {
    if (vertices.ndim() != 2 || vertices.shape(1) != 2) throw std::invalid_argument("vertices: expected shape (N, 2)");
    if (triangles.ndim() != 2 || triangles.shape(1) != 3) {
        throw std::invalid_argument("triangles: expected shape (K, 3)");
    }
    const std::vector<double> v(vertices.data(), vertices.data() + vertices.size());
    const std::vector<std::int64_t> idx(triangles.data(), triangles.data() + triangles.size());
    std::vector<std::vector<std::int32_t>> rings;
    try {
        py::gil_scoped_release nogil;
        rings = sm::boundary_rings(v, sm::free_edges_of_triangles(v, idx));
    } catch (const std::out_of_range& e) {
        throw py::value_error(e.what());
    }
    py::list out;
    for (const auto& ring : rings) {
        py::array_t<std::int64_t> a(static_cast<py::ssize_t>(ring.size()));
        std::copy(ring.begin(), ring.end(), a.mutable_data());
        out.append(a);
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_mesher, m) {
    m.doc() = "Native sprite mesher behind vellumcut.mesh_sprite (use that instead).";
    m.def("defaults", [] { return params_of(sm::Options()); },
          "The mesher's options and their defaults as Python spells them, in their order: "
          "{'alpha_threshold': 0, 'tolerance': 1.0, ...}; None for no cap (max_vertices) and a "
          "random seed, 'auto' for the spacing sized per island.");
    m.def("limits", &limits,
          "Per option, what a value must be: {'min', 'max' (None: unbounded), 'min_exclusive', "
          "'requirement'} for numbers, {'choices', 'requirement'} for interior, {'requirement'} "
          "for flags. 'requirement' is the text of the OptionError a value outside gets.");
    m.def("validate", &checked_params,
          "Check options given as keywords without meshing anything: returns them as defaults() "
          "spells them, the missing ones at their defaults; raises vellumcut.OptionError naming the "
          "option for a value out of range, TypeError for a value of the wrong type or an unknown name.");
    m.def("mesh", &mesh, "image"_a,
          "Mesh a path (str) or a uint8/uint16 array with the options given as keywords (see "
          "validate()); returns {'w', 'h', 'parts': [{'v', 'idx', 'rings'}], 'budget_applied', "
          "'overdraw_before', 'overdraw', 'under_10', 'budget', 'has_alpha', 'options'}. Releases the "
          "interpreter lock while it computes.");
    m.def("probe", &probe, "path"_a,
          "What the loader reads in an image file: {'format', 'width', 'height', 'channels', "
          "'has_alpha', 'bits', 'floating'}; raises vellumcut.ImageRefused when it refuses the file.");
    m.def("opaque", &opaque, "path"_a, "alpha_threshold"_a,
          "(mask, has_alpha): the file's opaque pixels by the mesher's rule, framed by one "
          "transparent pixel, as a uint8 0/1 array; raises vellumcut.ImageRefused.");
    m.def("image", &image, "path"_a, "alpha_threshold"_a,
          "(rgba, mask, has_alpha): the file's pixels as uint8 (H, W, 4) RGBA (None for a PNG without "
          "alpha, whose pixels the loader does not decode) and its mask as opaque() gives it, from one "
          "read; raises vellumcut.ImageRefused.");
    m.def("boundary_rings", &boundary_rings, "vertices"_a, "triangles"_a,
          "Closed rings (int64 index arrays) of a mesh's free edges: outer rings counter-clockwise "
          "on screen (negative shoelace area, y down), holes clockwise, outer first; triangles "
          "without area are left out.");
    m.def("auto_spacing", &sm::auto_spacing, "pixels"_a,
          "The interior spacing (px) chosen for an island of this many opaque pixels.");
}
