// tarnexa._native's document checksums: a batch of documents' checksums, hashed without the GIL.
#include "boundary/py.hpp"  // first: Python.h with PY_SSIZE_T_CLEAN

#include <array>
#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "native/args.hpp"
#include "native/checksum_entries.hpp"
#include "native/checksums/document.hpp"

namespace tarnexa::native {
namespace {

Text text_of(PyObject* s, const char* field) {
    if (!PyUnicode_Check(s))
        py::raise(PyExc_TypeError, std::string(field) + " must be str, not " + py::type_name(s));
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
            static_cast<unsigned>(PyUnicode_KIND(s))};
}

// document_checksums(ids, rows, titles, texts, stamps, metadata) -> [str]
PyObject* document_checksums(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("document_checksums", n, 6);
        // Tuples hold each field for the call, whatever happens to the caller's lists.
        std::array<py::Ref, 6> held;
        for (int i = 0; i < 6; ++i) held[static_cast<std::size_t>(i)] = py::check_ptr(PySequence_Tuple(a[i]));
        const Py_ssize_t count = PyTuple_GET_SIZE(held[0].get());
        for (const auto& h : held)
            if (PyTuple_GET_SIZE(h.get()) != count) py::raise(PyExc_ValueError, "the fields differ in length");
        std::vector<checksums::Document> docs(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            auto& d = docs[static_cast<std::size_t>(i)];
            auto item = [&](int field) { return PyTuple_GET_ITEM(held[static_cast<std::size_t>(field)].get(), i); };
            d.id = text_of(item(0), "an id");
            d.row = static_cast<std::int64_t>(whole(item(1), "a row"));
            d.title = text_of(item(2), "a title");
            d.text = text_of(item(3), "a text");
            d.stamp = text_of(item(4), "a timestamp's repr");
            if (item(5) != Py_None) d.metadata = text_of(item(5), "metadata");
        }
        std::vector<std::array<std::uint8_t, 16>> sums(docs.size());
        {
            const WithoutGil unlocked;
            std::string scratch;
            for (std::size_t i = 0; i < docs.size(); ++i) checksums::digest(docs[i], scratch, sums[i].data());
        }
        py::Ref out = py::made(PyList_New(count));
        static constexpr char kHex[] = "0123456789abcdef";
        for (std::size_t i = 0; i < sums.size(); ++i) {
            char hex[32];
            for (std::size_t k = 0; k < 16; ++k) {
                hex[2 * k] = kHex[sums[i][k] >> 4];
                hex[2 * k + 1] = kHex[sums[i][k] & 15];
            }
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py::made(PyUnicode_FromStringAndSize(hex, 32)).release());
        }
        return out.release();
    });
}

PyMethodDef g_methods[] = {
    {"document_checksums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_checksums)),
     METH_FASTCALL,
     "document_checksums(ids, rows, titles, texts, stamps, metadata, /)\n--\n\n"
     "Each document's checksum (32 hex digits) as tarnexa.storage.checksums.digest gives it; stamps\n"
     "are the timestamps' repr ('' for none), metadata a JSON text or None."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* checksum_methods() { return g_methods; }

}  // namespace tarnexa::native
