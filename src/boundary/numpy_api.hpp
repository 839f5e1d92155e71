// NumPy reached at run time through its C-API capsule, so one build serves NumPy 1.x and 2.x.
// Only the few table entries and public object fields that the module reads are declared here.
#pragma once

#include <cstdint>

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
constexpr int kWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

// dtype descriptor heads. NumPy 1.x keeps the item size as an int after the type number;
// NumPy 2.x has a 64-bit flags field there and a Py_ssize_t item size.
struct Descr1x {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};
struct Descr2x {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
};

// Type numbers of NumPy's NPY_TYPES (ndarraytypes.h): NPY_BOOL, NPY_BYTE, NPY_FLOAT, NPY_DOUBLE.
enum TypeNum : int { kBool = 0, kInt8 = 1, kFloat32 = 11, kFloat64 = 12 };

// Slots of NumPy's C-API table, the `_ARRAY_API` capsule's pointer (numpy/__multiarray_api.h,
// generated from numpy_api.py; NumPy keeps every slot it ever published, so 1.x and 2.x agree).
enum Slot : int {
    kArrayTypeSlot = 2,                // PyArray_Type
    kBoolScalarTypeSlot = 8,           // PyBoolArrType_Type
    kDescrFromTypeSlot = 45,           // PyArray_DescrFromType
    kNewSlot = 93,                     // PyArray_New
    kEquivTypesSlot = 182,             // PyArray_EquivTypes
    kFeatureVersionSlot = 211,         // PyArray_GetNDArrayCFeatureVersion
};

// PyArray_GetNDArrayCFeatureVersion of the newest NumPy 1.x (NPY_1_25_API_VERSION, 0x11, in
// numpyconfig.h); NumPy 2.0 (NPY_2_0_API_VERSION, 0x12) changed the dtype descriptor's layout.
constexpr unsigned kLastFeatureVersion1x = 0x11;

struct Api {
    void** table = nullptr;
    PyObject* multiarray = nullptr;  // the multiarray module, kept for the process
    bool descr_layout_2x = false;    // dtype descriptors have the NumPy 2 layout
    PyObject* descr_bool = nullptr;
    PyObject* descr_float32 = nullptr;
    PyObject* descr_float64 = nullptr;
    PyObject* descr_int8 = nullptr;

    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table[kArrayTypeSlot]); }
    PyTypeObject* bool_scalar_type() const noexcept {
        return static_cast<PyTypeObject*>(table[kBoolScalarTypeSlot]);
    }
    PyObject* descr_from_type(int t) const noexcept {
        return reinterpret_cast<PyObject* (*)(int)>(table[kDescrFromTypeSlot])(t);
    }
    bool equiv_types(PyObject* a, PyObject* b) const noexcept {
        return reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[kEquivTypesSlot])(a, b) != 0;
    }
    unsigned feature_version() const noexcept {
        return reinterpret_cast<unsigned (*)()>(table[kFeatureVersionSlot])();
    }
    PyObject* descr_of(TypeNum t) const noexcept {
        switch (t) {
            case kBool: return descr_bool;
            case kInt8: return descr_int8;
            case kFloat32: return descr_float32;
            case kFloat64: break;
        }
        return descr_float64;
    }
    // PyArray_New(&PyArray_Type, nd, dims, type, NULL, NULL, 0, 0, NULL): a new C-ordered array.
    PyObject* new_array(TypeNum t, int nd, const Py_ssize_t* dims) const noexcept {
        using Fn = PyObject* (*)(PyTypeObject*, int, const Py_ssize_t*, int, const Py_ssize_t*, void*, int, int,
                                 PyObject*);
        return reinterpret_cast<Fn>(table[kNewSlot])(array_type(), nd, dims, t, nullptr, nullptr, 0, 0, nullptr);
    }
};

// Looked up once per process; a failure is the fault
// "Failed to access NumPy array API capsule: <error>".
const Api& api();

// The table when it was already looked up, else nullptr (looks nothing up).
const Api* loaded_api() noexcept;

// The item size of an array's dtype, read by the descriptor layout of the NumPy in use.
Py_ssize_t item_size(PyObject* array) noexcept;

// "<type>: <value>\n<traceback>" of the pending Python error, which is cleared.
std::string render_pending_error();

}  // namespace tarnexa::numpy
