// The process-wide registry of NumPy array borrows, shared with other native modules
// through a capsule on NumPy's multiarray module.
#pragma once

#include "boundary/borrow_token.hpp"
#include "boundary/py.hpp"

namespace tarnexa::borrow {

// Registers a shared (read-only) borrow of `array`; the token drops it. A refusal is the fault
// ending in "AlreadyBorrowed"; an unusable registry is the fault "Interal borrow checking API
// error: ...". The borrow is released under the key it was taken with, whatever Python code does
// to the array meanwhile.
Token acquire_shared(PyObject* array);

// True while taking a borrow can run Python code: before NumPy and the registry are found (that
// imports and reads attributes), and whenever the registry belongs to another module (its entry
// points may call back into Python).
bool acquire_may_run_python_code() noexcept;

}  // namespace tarnexa::borrow
