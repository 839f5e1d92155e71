// The hashed embedder's function of tarnexa._native, added to the module at its init.
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::native {

PyMethodDef* hashed_methods();

}  // namespace tarnexa::native
