// Bindings of the sprite mesher (vellumcut._mesher): argument and result
// conversion, the interpreter lock released while the mesher computes, and
// Ctrl-C through a cooperative stop.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "sprite_mesh/boundary.hpp"
#include "sprite_mesh/sprite_mesh.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace sm = vellumcut::sprite;

namespace {

// Asked by the mesher between steps, on the calling thread, with the
// interpreter lock released and Triangle's mutex not held: at most every
// 25 ms it takes the lock back for a moment and lets Python run its signal
// handlers. A handler that raised (KeyboardInterrupt) leaves its exception
// set; the binding raises it once the mesher has unwound.
struct SignalCheck {
    // The interpreter ran its handlers just before the call: the first
    // look is due 25 ms in (short calls never take the lock back).
    std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + std::chrono::milliseconds(25);
    static bool ask(void* self) {
        auto* s = static_cast<SignalCheck*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (now < s->next) return false;
        s->next = now + std::chrono::milliseconds(25);
        py::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    }
};

// SIGINT while the mesher runs. Python's own handler only notes a signal
// for the interpreter to act on later, which the mesher asks about between
// its steps; one Triangle call can run for seconds without such a step.
// While any mesher call is running, SIGINT goes first to a handler that
// counts it and then calls the handler it replaced (the interpreter's), so
// that the call can see the count change from inside Triangle's allocator
// hook and end. Installed and removed with the interpreter lock held (so
// calls on several threads share one installation), only over a handler
// that is a function, and put back only if it is still in place.
std::atomic<std::uint64_t> g_sigints{0};
struct sigaction g_replaced;
int g_users = 0;
bool g_installed = false;

extern "C" void count_sigint(int sig) {
    g_sigints.fetch_add(1, std::memory_order_relaxed);
    g_replaced.sa_handler(sig);
}

extern "C" void count_sigint_info(int sig, siginfo_t* info, void* context) {
    g_sigints.fetch_add(1, std::memory_order_relaxed);
    g_replaced.sa_sigaction(sig, info, context);
}

class SigintWatch {
public:
    SigintWatch() {
        if (g_users++ == 0) {
            struct sigaction current;
            if (sigaction(SIGINT, nullptr, &current) == 0) {
                const bool info = (current.sa_flags & SA_SIGINFO) != 0;
                const bool function = info ? current.sa_sigaction != nullptr
                                           : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
                if (function) {
                    g_replaced = current;
                    struct sigaction counting = current;
                    if (info) {
                        counting.sa_sigaction = count_sigint_info;
                    } else {
                        counting.sa_handler = count_sigint;
                    }
                    g_installed = sigaction(SIGINT, &counting, nullptr) == 0;
                }
            }
        }
        restart();
    }
    ~SigintWatch() {
        if (--g_users == 0 && g_installed) {
            struct sigaction current;
            if (sigaction(SIGINT, nullptr, &current) == 0 &&
                ((current.sa_flags & SA_SIGINFO) != 0 ? current.sa_sigaction == count_sigint_info
                                                       : current.sa_handler == count_sigint)) {
                sigaction(SIGINT, &g_replaced, nullptr);
            }
            g_installed = false;
        }
    }
    SigintWatch(const SigintWatch&) = delete;
    SigintWatch& operator=(const SigintWatch&) = delete;

    // Counts from now (again after a signal whose handler did not raise).
    void restart() { start_ = g_sigints.load(std::memory_order_relaxed); }
    static bool signalled(const void* self) {
        return g_sigints.load(std::memory_order_relaxed) != static_cast<const SigintWatch*>(self)->start_;
    }

private:
    std::uint64_t start_ = 0;
};

// Refusals reach Python as data: vellumcut.errors.ImageRefused carries the
// kind and numbers, vellumcut.errors.OptionError the option's name, so no
// caller has to read the message text.
[[noreturn]] void raise_refused(const vellumcut::ImageRefused& e, const std::string& path) {
    const vellumcut::Refusal& r = e.refusal();
    const py::object cls = py::module_::import("vellumcut.errors").attr("ImageRefused");
    const py::object exc = cls(e.what(), "kind"_a = vellumcut::kind_name(r.kind), "path"_a = path,
                               "format"_a = vellumcut::format_name(r.format), "width"_a = r.width,
                               "height"_a = r.height, "limit"_a = r.limit, "size"_a = r.bytes,
                               "channels"_a = r.channels, "errno"_a = r.error_number);
    PyErr_SetObject(cls.ptr(), exc.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_option(const sm::OptionRefused& e) {
    const py::object cls = py::module_::import("vellumcut.errors").attr("OptionError");
    const py::object exc = cls(e.option(), e.requirement());
    PyErr_SetObject(cls.ptr(), exc.ptr());
    throw py::error_already_set();
}

sm::Interior interior_of(const std::string& name) {
    if (name == "none") return sm::Interior::none;
    if (name == "poisson") return sm::Interior::poisson;
    if (name == "quality") return sm::Interior::quality;
    throw std::invalid_argument("interior must be 'none', 'poisson' or 'quality', got '" + name + "'");
}

py::dict to_python(const sm::Result& r) {
    py::list parts;
    std::size_t done = 0;
    for (const sm::PartMesh& p : r.parts) {
        // Converting a million tiny parts takes seconds: let Ctrl-C in.
        if ((++done & 1023) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
        const auto nv = static_cast<py::ssize_t>(p.v.size() / 2);
        const auto nt = static_cast<py::ssize_t>(p.idx.size() / 3);
        py::array_t<double> v({nv, py::ssize_t{2}});
        std::copy(p.v.begin(), p.v.end(), v.mutable_data());
        py::array_t<std::int64_t> idx({nt, py::ssize_t{3}});
        std::copy(p.idx.begin(), p.idx.end(), idx.mutable_data());
        py::list rings;
        for (const auto& ring : p.rings) {
            py::array_t<std::int64_t> a(static_cast<py::ssize_t>(ring.size()));
            std::copy(ring.begin(), ring.end(), a.mutable_data());
            rings.append(a);
        }
        parts.append(py::dict("v"_a = v, "idx"_a = idx, "rings"_a = rings));
    }
    return py::dict("w"_a = r.w, "h"_a = r.h, "parts"_a = parts, "budget_applied"_a = r.budget_applied,
                    "overdraw_before"_a = r.overdraw_before, "overdraw"_a = r.overdraw, "under_10"_a = r.under_10, "budget"_a = r.budget);
}

py::dict mesh(const py::object& image, int alpha_threshold, double tolerance, double padding,
              long long max_vertices, const std::string& interior, double spacing, double min_angle,
              std::uint64_t seed, bool seeded, long long min_island_area, long long min_hole_area,
              int margin, bool strict_budget) {
    sm::Options o;
    o.alpha_threshold = alpha_threshold;
    o.tolerance = tolerance;
    o.padding = padding;
    o.max_vertices = max_vertices;
    o.interior = interior_of(interior);
    o.spacing = spacing;
    o.min_angle = min_angle;
    o.seed = seed;
    o.seeded = seeded;
    o.min_island_area = min_island_area;
    o.min_hole_area = min_hole_area;
    o.margin = margin;
    o.strict_budget = strict_budget;
    try {
        sm::validate(o);
    } catch (const sm::OptionRefused& e) {
        raise_option(e);
    }

    SigintWatch watch;
    sm::Result result;
    bool alpha = true;
    std::string path = "(array)";
    for (bool done = false; !done;) {
        SignalCheck check;
        vellumcut::Stop stop(&SignalCheck::ask, &check);
        stop.set_probe(&SigintWatch::signalled, &watch);
        try {
            if (py::isinstance<py::str>(image)) {
                path = image.cast<std::string>();
                py::gil_scoped_release nogil;
                result = sm::mesh_framed(sm::load_opaque(path, alpha_threshold, &alpha), o, stop);
            } else {
                const py::array a = py::reinterpret_borrow<py::array>(image);
                const int ndim = static_cast<int>(a.ndim());
                if (ndim != 2 && ndim != 3) {
                    throw std::invalid_argument("image: expected an array of shape (H, W), (H, W, 3) or (H, W, 4)");
                }
                const int channels = ndim == 2 ? 1 : static_cast<int>(a.shape(2));
                const int bytes = static_cast<int>(a.itemsize());
                const bool unsigned_int = a.dtype().kind() == 'u';
                if (!unsigned_int || (bytes != 1 && bytes != 2)) {
                    throw std::invalid_argument("image: expected uint8 or uint16 samples, got " +
                                                py::str(a.dtype()).cast<std::string>());
                }
                // C order, so that one row stride describes it.
                const py::array c = py::array::ensure(a, py::array::c_style);
                const int rows = static_cast<int>(c.shape(0)), cols = static_cast<int>(c.shape(1));
                const auto stride = static_cast<std::size_t>(c.strides(0));
                const void* data = c.data();
                alpha = channels != 3;
                py::gil_scoped_release nogil;
                result = sm::mesh_framed(
                    sm::opaque_from_samples(data, rows, cols, stride, channels, bytes, alpha_threshold), o, stop);
            }
            done = true;
        } catch (const vellumcut::Interrupted&) {
            // The signal handler's exception (KeyboardInterrupt) is pending,
            // or the handler has yet to run. One that does not raise lets the
            // call start again.
            if (PyErr_Occurred() || PyErr_CheckSignals() != 0) throw py::error_already_set();
            watch.restart();
        } catch (const vellumcut::ImageRefused& e) {
            raise_refused(e, path);
        } catch (const sm::OptionRefused& e) {
            raise_option(e);
        }
    }
    py::dict out = to_python(result);
    out["has_alpha"] = alpha;
    return out;
}

// What the loader makes of a file: {'format', 'width', 'height', 'channels',
// 'has_alpha', 'bits', 'floating'}, or ImageRefused.
py::dict probe(const std::string& path) {
    sm::ImageInfo info;
    try {
        py::gil_scoped_release nogil;
        info = sm::probe_image(path);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    return py::dict("format"_a = vellumcut::format_name(info.format), "width"_a = info.width,
                    "height"_a = info.height, "channels"_a = info.channels, "has_alpha"_a = info.has_alpha,
                    "bits"_a = info.bits, "floating"_a = info.floating);
}

// The framed opaque mask of a file by the mesher's rule (alpha > threshold;
// no alpha: all opaque), as uint8 0/1 of (H + 2) x (W + 2), and whether the
// image had alpha.
py::tuple opaque(const std::string& path, int alpha_threshold) {
    sm::Opaque mask;
    bool alpha = true;
    try {
        py::gil_scoped_release nogil;
        mask = sm::load_opaque(path, alpha_threshold, &alpha);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(mask.rows), static_cast<py::ssize_t>(mask.cols)});
    for (int y = 0; y < mask.rows; ++y) {
        const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
        std::uint8_t* o = out.mutable_data(y);
        for (int x = 0; x < mask.cols; ++x) o[x] = row[x] != 0;
    }
    return py::make_tuple(out, alpha);
}

// One read of a file for drawing and meshing: (rgba or None, mask, has_alpha),
// rgba uint8 (H, W, 4), mask as opaque()'s.
py::tuple image(const std::string& path, int alpha_threshold) {
    sm::LoadedImage loaded;
    try {
        py::gil_scoped_release nogil;
        loaded = sm::load_image(path, alpha_threshold);
    } catch (const vellumcut::ImageRefused& e) {
        raise_refused(e, path);
    }
    const cv::Mat& f = loaded.framed;
    py::array_t<std::uint8_t> mask({static_cast<py::ssize_t>(f.rows), static_cast<py::ssize_t>(f.cols)});
    for (int y = 0; y < f.rows; ++y) {
        const std::uint8_t* row = f.ptr<std::uint8_t>(y);
        std::uint8_t* o = mask.mutable_data(y);
        for (int x = 0; x < f.cols; ++x) o[x] = row[x] != 0;
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
    return py::make_tuple(rgba, mask, loaded.alpha);
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
    m.def("mesh", &mesh, "image"_a, "alpha_threshold"_a, "tolerance"_a, "padding"_a, "max_vertices"_a,
          "interior"_a, "spacing"_a, "min_angle"_a, "seed"_a, "seeded"_a, "min_island_area"_a,
          "min_hole_area"_a, "margin"_a, "strict_budget"_a = true,
          "Mesh a path (str) or a uint8/uint16 array; returns {'w', 'h', 'parts': [{'v', 'idx', "
          "'rings'}], 'budget_applied', 'overdraw_before', 'overdraw', 'under_10', 'budget'}. Releases the "
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
    m.attr("MAX_MIN_ANGLE") = sm::kMaxMinAngle;
    m.attr("DEFAULT_MIN_HOLE_AREA") = sm::Options().min_hole_area;
    m.def("auto_spacing", &sm::auto_spacing, "pixels"_a,
          "The interior spacing (px) chosen for an island of this many opaque pixels.");
}
