#include "boundary/py.hpp"

#include <cstdio>
#include <cstring>

#include "boundary/guard.hpp"
#include "boundary/messages.hpp"

namespace tarnexa::py {
namespace {

bool is_named_panic_type(PyTypeObject* t) {
    PyObject* name = PyType_GetName(t);
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool match = PyUnicode_CompareWithASCIIString(name, text::kPanicName) == 0;
    Py_DECREF(name);
    if (!match || t->tp_dict == nullptr) return false;
    PyObject* module = PyDict_GetItemString(t->tp_dict, "__module__");
    return module != nullptr && PyUnicode_Check(module) &&
           PyUnicode_CompareWithASCIIString(module, text::kPanicModule) == 0;
}

// Our own class, or the same-named class of another native module.
bool is_panic(PyObject* exc) {
    PyObject* ours = panic_exception_type();
    if (ours == nullptr) PyErr_Clear();
    if (ours != nullptr && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(ours))) return true;
    PyObject* mro = Py_TYPE(exc)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        if (is_named_panic_type(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)))) return true;
    }
    return false;
}

std::string text_of(PyObject* exc) {
    Ref s = Ref::steal(PyObject_Str(exc));
    if (s) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) return std::string(p, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return text::kUnprintablePanic;
}

}  // namespace

[[noreturn, gnu::cold]] void throw_pending() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        raise(PyExc_SystemError, text::kNoExceptionSet);
    }
    if (is_panic(exc)) {
        Ref owned = Ref::steal(exc);
        std::fprintf(stderr,
                     "tarnexa: a PanicException was raised by code this call ran; "
                     "it continues as a fault of this call. Its traceback:\n");
        std::fflush(stderr);
        PyErr_DisplayException(exc);
        fault(text_of(exc));
    }
    PyErr_SetRaisedException(exc);
    throw PythonErrorSet{};
}

[[noreturn, gnu::cold]] void creation_failed(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    fault(text::kApiCallFailed, where);
}

[[noreturn, gnu::cold]] void raise(PyObject* type, const std::string& message) {
    raise(type, PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

[[noreturn, gnu::cold]] void raise(PyObject* type, PyObject* message) {
    if (message == nullptr) throw_pending();  // the error of making the message stays
    PyErr_SetObject(type, message);
    Py_DECREF(message);
    throw PythonErrorSet{};
}

std::string type_name(PyObject* obj) {
    PyObject* q = PyType_GetQualName(Py_TYPE(obj));
    if (q != nullptr) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(q, &n);
        if (p != nullptr) {
            std::string s(p, static_cast<std::size_t>(n));
            Py_DECREF(q);
            return s;
        }
        Py_DECREF(q);
    }
    PyErr_Clear();
    return text::kNoTypeName;
}

std::string_view utf8(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (p == nullptr) throw_pending();
    return {p, static_cast<std::size_t>(n)};
}

}  // namespace tarnexa::py
