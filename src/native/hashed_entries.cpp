// tarnexa._native's hashed embedder: the rows of a batch of texts, computed without the GIL.
#include "boundary/py.hpp"  // first: Python.h with PY_SSIZE_T_CLEAN

#include <limits>
#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "native/args.hpp"
#include "native/hashed/embed.hpp"
#include "native/hashed_entries.hpp"

namespace tarnexa::native {
namespace {

// hashed_embed(texts, dims) -> bytearray of len(texts) * dims float32, row after row
PyObject* hashed_embed(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("hashed_embed", n, 2);
        const std::uint64_t dims = whole(a[1], "dims");
        if (dims < 2)
            py::raise(PyExc_ValueError, "the hashed embedder needs at least 2 dims, got " + std::to_string(dims));
        // A tuple of the texts holds each str for the call, whatever happens to the caller's list.
        py::Ref held = py::check_ptr(PySequence_Tuple(a[0]));
        const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(held.get()));
        std::vector<hashed::Text> texts(count);
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* s = PyTuple_GET_ITEM(held.get(), static_cast<Py_ssize_t>(i));
            if (!PyUnicode_Check(s)) py::raise(PyExc_TypeError, "texts must be str, not " + py::type_name(s));
            texts[i] = {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
                        static_cast<unsigned>(PyUnicode_KIND(s))};
        }
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max());
        if (count != 0 && dims > kMax / sizeof(float) / count) py::raise(PyExc_OverflowError, "the rows are too large");
        // A large batch may not fit in memory: its MemoryError is the caller's.
        const auto bytes = static_cast<Py_ssize_t>(count * dims * sizeof(float));
        py::Ref out = py::check_ptr(PyByteArray_FromStringAndSize(nullptr, bytes));
        float* rows = reinterpret_cast<float*>(PyByteArray_AS_STRING(out.get()));
        {
            const WithoutGil unlocked;
            hashed::embed(texts, static_cast<std::size_t>(dims), rows);
        }
        return out.release();
    });
}

PyMethodDef g_methods[] = {
    {"hashed_embed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hashed_embed)), METH_FASTCALL,
     "hashed_embed(texts, dims, /)\n--\n\n"
     "The hashed embedder's rows of texts, float32, as a bytearray of len(texts) * dims values."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* hashed_methods() { return g_methods; }

}  // namespace tarnexa::native
