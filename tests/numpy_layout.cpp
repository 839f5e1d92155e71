// Checks every NumPy offset, slot and number that src/boundary/numpy_api.hpp declares by hand
// against NumPy's own headers, those of the NumPy the test runs with (1.x or 2.x). The table
// slots are read through the headers' own macros from a table whose slot i holds i.
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tarnexa_layout_test_api
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "boundary/numpy_api.hpp"

void** tarnexa_layout_test_api;

namespace np = tarnexa::numpy;

#define SAME_OFFSET(ours, theirs, field) \
    static_assert(offsetof(ours, field) == offsetof(theirs, field), #ours "::" #field)

SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, data);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, nd);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, dimensions);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, strides);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, base);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, descr);
SAME_OFFSET(np::ArrayFields, PyArrayObject_fields, flags);
static_assert(np::kWriteable == NPY_ARRAY_WRITEABLE);
static_assert(int{np::kBool} == NPY_BOOL && int{np::kFloat32} == NPY_FLOAT && int{np::kFloat64} == NPY_DOUBLE);
static_assert(np::kLastFeatureVersion1x == NPY_1_25_API_VERSION);

#if NPY_ABI_VERSION >= 0x02000000
// NumPy 2 headers: the 2.x descriptor (the full one needs a 2.0 target, set by the test).
static_assert(np::kLastFeatureVersion1x + 1 == NPY_2_0_API_VERSION);
SAME_OFFSET(np::Descr2x, PyArray_Descr, typeobj);
SAME_OFFSET(np::Descr2x, PyArray_Descr, type_num);
SAME_OFFSET(np::Descr2x, PyArray_Descr, flags);
SAME_OFFSET(np::Descr2x, PyArray_Descr, elsize);
static_assert(sizeof(np::Descr2x::elsize) == sizeof(PyArray_Descr::elsize));
#else
SAME_OFFSET(np::Descr1x, PyArray_Descr, typeobj);
SAME_OFFSET(np::Descr1x, PyArray_Descr, type_num);
SAME_OFFSET(np::Descr1x, PyArray_Descr, elsize);
static_assert(sizeof(np::Descr1x::elsize) == sizeof(PyArray_Descr::elsize));
#endif

int main() {
    static void* table[512];
    for (std::size_t i = 0; i < 512; ++i) table[i] = reinterpret_cast<void*>(i);
    tarnexa_layout_test_api = table;
    const struct {
        const char* name;
        int ours;
        void* theirs;
    } slots[] = {
        {"PyArray_Type", np::kArrayTypeSlot, &PyArray_Type},
        {"PyBoolArrType_Type", np::kBoolScalarTypeSlot, &PyBoolArrType_Type},
        {"PyArray_DescrFromType", np::kDescrFromTypeSlot, reinterpret_cast<void*>(PyArray_DescrFromType)},
        {"PyArray_EquivTypes", np::kEquivTypesSlot, reinterpret_cast<void*>(PyArray_EquivTypes)},
        {"PyArray_GetNDArrayCFeatureVersion", np::kFeatureVersionSlot,
         reinterpret_cast<void*>(PyArray_GetNDArrayCFeatureVersion)},
    };
    int failed = 0;
    for (const auto& s : slots) {
        const auto theirs = reinterpret_cast<std::uintptr_t>(s.theirs);
        if (theirs != static_cast<std::uintptr_t>(s.ours)) {
            std::printf("%s: slot %d here, %ju in NumPy's headers\n", s.name, s.ours, theirs);
            ++failed;
        }
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(std::size(slots)) - failed, failed);
    return failed != 0;
}
