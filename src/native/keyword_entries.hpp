// The keyword functions of tarnexa._native, added to the module at its init.
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::native {

PyMethodDef* keyword_methods();

}  // namespace tarnexa::native
