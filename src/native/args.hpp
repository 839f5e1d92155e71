// What the package's own native functions share in reading their arguments (buffers held for
// the call, the count of positional arguments, whole and real numbers) and in doing their work
// without the GIL.
#pragma once

#include "boundary/py.hpp"

#include <cstdint>
#include <string>

#include "boundary/guard.hpp"

namespace tarnexa::native {

// A buffer held for the call.
class Buffer {
public:
    explicit Buffer(PyObject* obj) { py::check(PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS)); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    std::size_t item() const noexcept { return static_cast<std::size_t>(view_.itemsize); }

private:
    Py_buffer view_{};
};

inline void arity(const char* name, Py_ssize_t got, Py_ssize_t want) {
    if (got != want)
        py::raise(PyExc_TypeError, std::string(name) + "() takes " + std::to_string(want) + " arguments, got " +
                                       std::to_string(got));
}

inline std::uint64_t whole(PyObject* obj, const char* what) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        py::raise(PyExc_ValueError, std::string(what) + " must be a whole number, 0 or more");
    }
    return v;
}

inline double real(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) py::throw_pending();
    return v;
}

// The GIL released for the scope, taken again however it ends.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tarnexa::native
