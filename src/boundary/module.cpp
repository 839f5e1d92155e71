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

void add_function(PyObject* module, const py::FunctionDesc& e) {
    // Method definitions and docstrings must outlive every function object: they live for the process.
    auto* def = new PyMethodDef{e.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.entry)),
                                METH_FASTCALL | METH_KEYWORDS, (new std::string(py::docstring(e)))->c_str()};
    py::Ref name_of_module = py::check_ptr(PyModule_GetNameObject(module));
    py::Ref fn = py::check_ptr(PyCMethod_New(def, module, name_of_module.get(), nullptr));
    py::Ref name = py::check_ptr(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!PyUnicode_Check(name.get()))
        py::raise(PyExc_TypeError, text::cannot_convert(py::type_name(name.get()), text::kPyString));
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_pending();
        PyErr_Clear();
        all = py::check_ptr(PyList_New(0));
        py::check(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        py::raise(PyExc_TypeError, text::cannot_convert(py::type_name(all.get()), text::kPyList));
    }
    if (PyList_Append(all.get(), name.get()) < 0) fault(text::kAppendToAll);
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
    py::Ref module = py::check_ptr(PyModule_Create2(&g_def, 1013));
    for (const py::FunctionDesc* e : kFunctions) add_function(module.get(), *e);
    if (g_module == nullptr) g_module = module.release();
    return Py_NewRef(g_module);
}

}  // namespace
}  // namespace tarnexa

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnexa() {
    return tarnexa::py::guarded([] { return tarnexa::init(); });
}
