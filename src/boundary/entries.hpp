// The module's Python-callable functions (vectorcall with keywords).
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::entries {

PyObject* parse_modifiers(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* score_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* mmr_select_py(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace tarnexa::entries
