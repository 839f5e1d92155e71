// Binding of vectorcall arguments to named parameters, and the description of each function that
// the binding and the module's function table read.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "boundary/py.hpp"

namespace tarnexa::py {

// Every parameter is positional-or-keyword.
struct Param {
    const char* name;
    const char* default_text = nullptr;  // as the signature shows it; nullptr: required
};

using Entry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

struct FunctionDesc {
    const char* name;               // used in messages as "{name}()"
    std::span<const Param> params;  // the required ones first
    const char* doc;                // the docstring's body, after the signature
    Entry entry;
    PyObject** interned;            // params.size() slots for the names as str objects, made on first use

    std::size_t required() const noexcept {
        std::size_t r = 0;
        while (r < params.size() && params[r].default_text == nullptr) ++r;
        return r;
    }
};

// "name(a, b=1)\n--\n\n" and the body: CPython shows the first part as __text_signature__.
std::string docstring(const FunctionDesc& fn);

// Fills slots[0 .. params.size()) with borrowed references (nullptr = not passed).
// Binding errors raise TypeError and end the call.
void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots);

}  // namespace tarnexa::py
