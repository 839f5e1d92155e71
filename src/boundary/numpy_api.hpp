// NumPy reached at run time through its C-API capsule, so one build serves NumPy 1.x and 2.x.
// Only the few table entries and public object fields that the module reads are declared here.
#pragma once

#include "boundary/py.hpp"

namespace tarnexa::numpy {

// The public head of an ndarray object, identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
constexpr int kWriteable = 0x0400;

enum TypeNum : int { kBool = 0, kFloat32 = 11, kFloat64 = 12 };

inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

struct Api {
    void** table = nullptr;
    PyObject* multiarray = nullptr;  // the multiarray module, kept for the process
    const char* multiarray_name = nullptr;
    bool descr_layout_2x = false;    // dtype descriptors have the NumPy 2 layout
    PyObject* descr[3] = {nullptr, nullptr, nullptr};  // bool, float32, float64

    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table[2]); }
    PyObject* descr_from_type(int t) const noexcept {
        return reinterpret_cast<PyObject* (*)(int)>(table[45])(t);
    }
    bool equiv_types(PyObject* a, PyObject* b) const noexcept {
        return reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[182])(a, b) != 0;
    }
    unsigned feature_version() const noexcept {
        return reinterpret_cast<unsigned (*)()>(table[211])();
    }
};

// Looked up once per process; a failure is the fault
// "Failed to access NumPy array API capsule: <error>".
const Api& api();

// The item size of an array's dtype, read by the descriptor layout of the NumPy in use.
Py_ssize_t item_size(PyObject* array) noexcept;

// "<type>: <value>\n<traceback>" of the pending Python error, which is cleared.
std::string render_pending_error();

}  // namespace tarnexa::numpy
