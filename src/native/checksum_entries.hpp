// The document checksums of tarnexa._native, added to the module at its init.
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::native {

PyMethodDef* checksum_methods();

}  // namespace tarnexa::native
