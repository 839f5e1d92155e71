// The process-wide registry of NumPy array borrows, shared with other native modules
// through a capsule on NumPy's multiarray module.
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::borrow {

// Registers a shared (read-only) borrow of `array`. A refusal is the fault ending in
// "AlreadyBorrowed"; an unusable registry is the fault "Interal borrow checking API error: ...".
void acquire_shared(PyObject* array);
// Drops one shared borrow taken by acquire_shared.
void release_shared(PyObject* array) noexcept;

}  // namespace tarnexa::borrow
