// Module initialisation: single-phase, one module object per process, one interpreter.
#include <atomic>
#include <cstdint>

#include "boundary/entries.hpp"
#include "boundary/guard.hpp"

namespace tarnexa {
namespace {

struct FunctionEntry {
    const char* name;
    PyObject* (*body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const char* doc;
};

// Signature line, "--", blank line, body: CPython exposes the first part as __text_signature__.
constexpr FunctionEntry kFunctions[] = {
    {"parse_modifiers", entries::parse_modifiers,
     "parse_modifiers(modifier_str=None)\n--\n\n"
     "Parse a modifier string into modulation parameters.\n\n"
     "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
     "like, trajectory_from, trajectory_to, local_communities."},
    {"score_candidates", entries::score_candidates,
     "score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, "
     "not_like_vec=None, diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, "
     "recent=False, recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None)"
     "\n--\n\n"
     "Score and select candidates with composable landscape modulations.\n\n"
     "All text\u2192vector conversions must be done in Python before calling.\n"
     "This function takes pure arrays and returns scored results.\n\n"
     "Args:\n"
     "    matrix: Normalized embedding matrix (n, dims), float32.\n"
     "    ids: Document IDs aligned with matrix rows.\n"
     "    id_to_idx: {id: row_index} mapping.\n"
     "    query_vec: Query embedding (dims,), will be normalized.\n"
     "    timestamps: Optional (n,) float64 epoch seconds.\n"
     "    pre_filter_ids: Optional set of IDs to restrict search.\n"
     "    not_like_vec: Optional negative query for contrastive.\n"
     "    diverse: Enable MMR diversity selection.\n"
     "    limit: Max results.\n"
     "    oversample: Candidate pool size.\n"
     "    threshold: Minimum similarity cutoff.\n"
     "    mmr_lambda: Relevance vs diversity (0-1).\n"
     "    recent: Apply temporal decay.\n"
     "    recent_days: Half-life in days for temporal decay.\n"
     "    like_ids: Optional list of IDs for centroid blending.\n"
     "    traj_from_vec: Optional trajectory start vector.\n"
     "    traj_to_vec: Optional trajectory end vector.\n\n"
     "Returns list of dicts with 'id' and 'score' keys."},
    {"mmr_select_py", entries::mmr_select_py,
     "mmr_select_py(candidates, similarities, matrix, k, lambda_)\n--\n\n"
     "MMR: iteratively select for relevance minus redundancy.\n"
     "Returns list of (index, mmr_score) tuples."},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "_tarnexa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // filled once, never released

void add_function(PyObject* module, const FunctionEntry& e) {
    // Method definitions must outlive every function object: they live for the process.
    auto* def = new PyMethodDef{e.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.body)),
                                METH_FASTCALL | METH_KEYWORDS, e.doc};
    py::Ref name_of_module = py::Ref::steal(PyModule_GetNameObject(module));
    if (!name_of_module) py::throw_pending();
    py::Ref fn = py::Ref::steal(PyCMethod_New(def, module, name_of_module.get(), nullptr));
    if (!fn) py::throw_pending();
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) py::throw_pending();
    if (!PyUnicode_Check(name.get())) py::raise(PyExc_TypeError, "'" + py::type_name(name.get()) +
                                                                     "' object cannot be converted to 'PyString'");
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_pending();
        PyErr_Clear();
        all = py::Ref::steal(PyList_New(0));
        if (!all) py::throw_pending();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) py::throw_pending();
    } else if (!PyList_Check(all.get())) {
        py::raise(PyExc_TypeError, "'" + py::type_name(all.get()) + "' object cannot be converted to 'PyList'");
    }
    if (PyList_Append(all.get(), name.get()) < 0) fault("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, name.get(), fn.get()) < 0) py::throw_pending();
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) py::throw_pending();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        py::raise(PyExc_ImportError,
                  "_tarnexa does not support sub-interpreters: it can only be imported once per process, "
                  "in the interpreter that imported it first");
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    py::Ref module = py::Ref::steal(PyModule_Create2(&g_def, 1013));
    if (!module) py::throw_pending();
    for (const FunctionEntry& e : kFunctions) add_function(module.get(), e);
    if (g_module == nullptr) g_module = module.release();
    return Py_NewRef(g_module);
}

}  // namespace
}  // namespace tarnexa

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnexa() {
    return tarnexa::py::guarded([] { return tarnexa::init(); });
}
