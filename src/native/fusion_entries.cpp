// tarnexa._native's fusion of a hybrid search's two sides.
#include "boundary/py.hpp"  // first: Python.h with PY_SSIZE_T_CLEAN

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "native/args.hpp"
#include "native/fusion/convex.hpp"
#include "native/fusion_entries.hpp"

namespace tarnexa::native {
namespace {

std::vector<double> doubles(PyObject* obj, const char* what) {
    Buffer b(obj);
    if (b.item() != sizeof(double) || b.size() % sizeof(double))
        py::raise(PyExc_TypeError, std::string(what) + " must be a buffer of float64");
    std::vector<double> out(b.size() / sizeof(double));
    if (!out.empty()) std::memcpy(out.data(), b.data(), b.size());
    return out;
}

// fuse_convex(semantic, keyword, w_semantic, w_keyword) -> [(position, score, semantic part,
// keyword part), ...], best first
PyObject* fuse_convex(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("fuse_convex", n, 4);
        const std::vector<double> semantic = doubles(a[0], "semantic"), keyword = doubles(a[1], "keyword");
        std::vector<fusion::Fused> got;
        try {
            got = fusion::convex(semantic, keyword, real(a[2]), real(a[3]));
        } catch (const std::invalid_argument& e) {
            py::raise(PyExc_ValueError, e.what());
        }
        py::Ref out = py::check_ptr(PyList_New(static_cast<Py_ssize_t>(got.size())));
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto& f = got[i];
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                            py::check_ptr(Py_BuildValue("(nddd)", static_cast<Py_ssize_t>(f.at), f.score, f.semantic,
                                                        f.keyword)).release());
        }
        return out.release();
    });
}

PyMethodDef g_methods[] = {
    {"fuse_convex", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuse_convex)), METH_FASTCALL,
     "fuse_convex(semantic, keyword, w_semantic, w_keyword, /)\n--\n\n"
     "The candidates (float64 scores of each side, NaN: none) fused, best first: "
     "(position, score, semantic part, keyword part)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* fusion_methods() { return g_methods; }

}  // namespace tarnexa::native
