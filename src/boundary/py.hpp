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

// Ends the call with the Python exception that is set. A pending internal-fault exception
// raised by code this call ran (another native module, say) continues as a fault of this call.
[[noreturn]] void throw_pending();

// The result of creating an object: NULL prints the pending error and is the fault
// "Python API call failed".
[[noreturn]] void creation_failed(std::source_location where);
inline Ref made(PyObject* p, std::source_location where = std::source_location::current()) {
    if (p == nullptr) [[unlikely]] creation_failed(where);
    return Ref::steal(p);
}

// An operation on an existing object (append, set item) that failed ends the call with its error.
inline void check(int rc) {
    if (rc < 0) [[unlikely]] throw_pending();
}

// Raises `type` with `message` and ends the call.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// type(obj).__qualname__, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// The UTF-8 text of a str; a str that cannot be encoded ends the call with its UnicodeEncodeError.
std::string_view utf8(PyObject* str);

}  // namespace tarnexa::py
