// Binding of vectorcall arguments to named parameters.
#pragma once

#include <cstddef>
#include <span>

#include "boundary/py.hpp"

namespace tarnexa::py {

struct FunctionDesc {
    const char* name;                       // used in messages as "{name}()"
    std::span<const char* const> params;    // every parameter is positional-or-keyword
    std::size_t required;                   // the first `required` parameters must be bound
};

// Fills slots[0 .. params.size()) with borrowed references (nullptr = not passed).
// Binding errors raise TypeError and end the call.
void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots);

}  // namespace tarnexa::py
