// Small pieces of the Python bindings that module.cpp would otherwise spell
// out in every function: the path argument, a Stop that answers Ctrl-C, and
// the exception that a stop becomes in Python.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "interrupt.hpp"

namespace vellumcut::binding {

// A file path as the bytes the operating system gets: a `str` encoded as
// Python's filesystem encoding does on POSIX (UTF-8 with surrogate escapes,
// so a name os.listdir() returned with undecodable bytes reads back as
// those bytes; the same UTF-8 as before for every other `str`), `bytes` and
// `bytearray` unchanged.
struct PathArg {
    std::string bytes;
};

// A Stop that asks the interpreter, from the calling thread and with the
// interpreter lock held, whether a signal is pending; the signal's Python
// handler runs right there (KeyboardInterrupt for Ctrl-C is then pending,
// and the call unwinds). A handler that returns normally lets the call go on.
class PythonStop : public Stop {
public:
    PythonStop() noexcept : Stop(&signal_raised, nullptr) {}

private:
    static bool signal_raised(void* /*context*/) { return PyErr_CheckSignals() != 0; }
};

// Interrupted reaches Python as the exception the signal handler raised, or
// as KeyboardInterrupt when the stop came from elsewhere.
inline void register_interrupt_translation() {
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Interrupted&) {
            if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });
}

}  // namespace vellumcut::binding

namespace pybind11::detail {
template <>
struct type_caster<vellumcut::binding::PathArg> {
    PYBIND11_TYPE_CASTER(vellumcut::binding::PathArg, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        if (!src) return false;
        if (PyUnicode_Check(src.ptr())) {
            object encoded = reinterpret_steal<object>(
                PyUnicode_AsEncodedString(src.ptr(), "utf-8", "surrogateescape"));
            if (!encoded) {  // a lone surrogate no escape stands for
                PyErr_Clear();
                return false;
            }
            value.bytes.assign(PyBytes_AS_STRING(encoded.ptr()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
            return true;
        }
        if (PyBytes_Check(src.ptr())) {
            value.bytes.assign(PyBytes_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(src.ptr())));
            return true;
        }
        if (PyByteArray_Check(src.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(src.ptr())));
            return true;
        }
        return false;
    }
};
}  // namespace pybind11::detail
