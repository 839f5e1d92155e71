// Module initialisation: single-phase, one module object per process, one interpreter.
#include <atomic>
#include <cstdint>
#include <string>

#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "boundary/messages.hpp"

namespace tarnexa {
namespace {

constexpr const py::FunctionDesc* kFunctions[] = {&entries::kParseModifiers, &entries::kScoreCandidates,
                                                   &entries::kMmrSelectPy};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "_tarnexa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // filled once, never released

// CPython's C API version that PyModule_Create passes for us (modsupport.h): 1013 since 2.x.
constexpr int kCApiVersion = PYTHON_API_VERSION;
static_assert(kCApiVersion == 1013);

// The function object of one table entry, its name in `__all__` and as the module's attribute.
// The module was made a moment ago by us: `__all__` is the list we set, every name a str.
void add_function(PyObject* module, PyObject* all, const py::FunctionDesc& e) {
    py::Ref fn = py::function_object(module, e);
    py::Ref name = py::check_ptr(PyUnicode_FromString(e.name()));
    if (PyList_Append(all, name.get()) < 0) fault(text::kAppendToAll);
    py::check(PyObject_SetAttr(module, name.get(), fn.get()));
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) py::throw_pending();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        py::raise(PyExc_ImportError, text::kSubInterpreters);
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    py::Ref module = py::check_ptr(PyModule_Create2(&g_def, kCApiVersion));
    py::Ref all = py::check_ptr(PyList_New(0));
    py::check(PyObject_SetAttrString(module.get(), "__all__", all.get()));
    for (const py::FunctionDesc* e : kFunctions) add_function(module.get(), all.get(), *e);
    if (g_module == nullptr) g_module = module.release();
    return Py_NewRef(g_module);
}

}  // namespace
}  // namespace tarnexa

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnexa() {
    return tarnexa::py::guarded([] { return tarnexa::init(); });
}
