// Owning reference handle and small helpers over the CPython C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "common/fault.hpp"

namespace tarnexa::py {

// An owned strong reference; released on destruction. steal() adopts a new reference,
// borrow() takes one of its own.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Errors inside a call. A Python error ends the call as a C++ exception (PythonErrorSet, the
// Python exception set) that unwinds to the call guard; a broken invariant is a Fault. The rules
// for a NULL (or -1) result of the C API:
//   - creating an object for a call's result (list, dict, tuple, str, int, float) fails: made()
//     prints the pending error and ends the call with the fault "Python API call failed";
//   - an operation on an existing object (append, set item, attribute, iteration, conversion of
//     an argument), or anything fails while the module is being imported: its Python exception
//     is the call's exception, by check(), check_ptr() or throw_pending();
//   - the module's own errors are raised with raise(), the only place that sets a new error.
// Nothing else sets an exception and returns NULL by hand.

// Ends the call with the Python exception that is set. A pending internal-fault exception
// raised by code this call ran (another native module, say) continues as a fault of this call.
[[noreturn]] void throw_pending();

[[noreturn]] void creation_failed(std::source_location where);
inline Ref made(PyObject* p, std::source_location where = std::source_location::current()) {
    if (p == nullptr) [[unlikely]] creation_failed(where);
    return Ref::steal(p);
}

inline void check(int rc) {
    if (rc < 0) [[unlikely]] throw_pending();
}
inline Ref check_ptr(PyObject* p) {
    if (p == nullptr) [[unlikely]] throw_pending();
    return Ref::steal(p);
}

// Raises `type` with `message` (UTF-8) and ends the call.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises `type` with a message object (a new reference, or NULL when making it failed).
[[noreturn]] void raise(PyObject* type, PyObject* message);

// Keeps the pending exception aside across a call into code that may run Python and must not
// see it (another module's entry point), and puts it back afterwards. An exception the call
// leaves behind is reported as unraisable, since its caller has no way to report it.
class PendingAside {
public:
    explicit PendingAside(PyObject* context) noexcept : context_(context), saved_(PyErr_GetRaisedException()) {}
    PendingAside(const PendingAside&) = delete;
    PendingAside& operator=(const PendingAside&) = delete;
    ~PendingAside() {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(context_);
        PyErr_SetRaisedException(saved_);
    }

private:
    PyObject* context_;
    PyObject* saved_;
};

// type(obj).__qualname__, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// The UTF-8 text of a str; a str that cannot be encoded ends the call with its UnicodeEncodeError.
std::string_view utf8(PyObject* str);

}  // namespace tarnexa::py
