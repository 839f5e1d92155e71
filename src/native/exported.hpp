// A function of the package's native modules, declared once: its description (name, parameter
// table, docstring) and its body, which runs on the bound slots under the call guard.
#pragma once

#include "boundary/binding.hpp"
#include "boundary/guard.hpp"
#include "common/params.hpp"

namespace tarnexa::native {

// Body(self, slots) returns a new reference or throws; slots follow Fn's parameter table.
using Body = PyObject* (*)(PyObject* self, PyObject* const* slots);

template <const params::Function& Fn, Body body>
struct Exported {
    static constexpr std::size_t kSlots = Fn.params.size() ? Fn.params.size() : 1;
    static inline PyObject* names[kSlots] = {};
    static PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
        return py::called<kSlots>(desc, args, nargsf, kwnames, [&](PyObject* const* slots) { return body(self, slots); });
    }
    static constexpr py::FunctionDesc desc{Fn, &entry, names};
};

}  // namespace tarnexa::native
