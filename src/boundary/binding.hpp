// Binding of vectorcall arguments to named parameters, and what the module's function table
// needs of each function: its description (common/params.hpp), its entry and its interned names.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "boundary/py.hpp"
#include "common/params.hpp"

namespace tarnexa::py {

using Entry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

struct FunctionDesc {
    const params::Function& fn;
    Entry entry;
    PyObject** interned;  // fn.params.size() slots for the names as str objects, made on first use

    const char* name() const noexcept { return fn.name; }
    std::span<const params::Param> params() const noexcept { return fn.params; }
    std::size_t required() const noexcept {
        std::size_t r = 0;
        while (r < fn.params.size() && fn.params[r].required()) ++r;
        return r;
    }
};

// "name(a, b=1)\n--\n\n" and the body: CPython shows the first part as __text_signature__.
std::string docstring(const params::Function& fn);

// The function object for `e` in `module`, as the module's function table makes them: its method
// definition and docstring live for the process.
Ref function_object(PyObject* module, const FunctionDesc& e);

// Fills slots[0 .. params.size()) with borrowed references (nullptr = not passed).
// Binding errors raise TypeError and end the call.
void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots);

}  // namespace tarnexa::py
