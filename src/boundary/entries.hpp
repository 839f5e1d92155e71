// The module's Python-callable functions (vectorcall with keywords), each with the description
// that its binding and the module's function table read.
#pragma once

#include "boundary/binding.hpp"

namespace tarnexa::entries {

PyObject* parse_modifiers(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* score_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* mmr_select_py(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

extern const py::FunctionDesc kParseModifiers;
extern const py::FunctionDesc kScoreCandidates;
extern const py::FunctionDesc kMmrSelectPy;

}  // namespace tarnexa::entries
