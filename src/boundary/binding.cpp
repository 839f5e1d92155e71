#include "boundary/binding.hpp"

#include <vector>

#include "boundary/messages.hpp"

namespace tarnexa::py {
namespace {

[[noreturn, gnu::cold]] void keyword_error(const FunctionDesc& fn, const char* format, PyObject* kw) {
    raise(PyExc_TypeError, PyUnicode_FromFormat(format, fn.name, kw));
}

// The parameter names as str objects, interned once for the process. They are made in order, so
// the last slot is filled only when all are (a failure part way leaves it empty for the next call).
PyObject* const* names(const FunctionDesc& fn) {
    if (!fn.params.empty() && fn.interned[fn.params.size() - 1] == nullptr) {
        for (std::size_t i = 0; i < fn.params.size(); ++i)
            if (fn.interned[i] == nullptr) fn.interned[i] = made(PyUnicode_InternFromString(fn.params[i].name)).release();
    }
    return fn.interned;
}

// The parameter index named by `kw`, or -1: the same object first (callers' keywords are
// interned too), then the same text.
long find_param(const FunctionDesc& fn, PyObject* kw) {
    PyObject* const* n = names(fn);
    const std::size_t p = fn.params.size();
    for (std::size_t i = 0; i < p; ++i)
        if (n[i] == kw) return static_cast<long>(i);
    for (std::size_t i = 0; i < p; ++i) {
        int c = PyUnicode_Compare(kw, n[i]);
        if (c == 0) return static_cast<long>(i);
        if (c == -1 && PyErr_Occurred()) PyErr_Clear();  // not a str: it names no parameter
    }
    return -1;
}

}  // namespace

std::string docstring(const FunctionDesc& fn) {
    std::string s = fn.name;
    s += '(';
    for (std::size_t i = 0; i < fn.params.size(); ++i) {
        if (i > 0) s += ", ";
        s += fn.params[i].name;
        if (fn.params[i].default_text) s.append("=").append(fn.params[i].default_text);
    }
    return s.append(")\n--\n\n").append(fn.doc);
}

void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots) {
    std::size_t n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    std::size_t p = fn.params.size();
    std::size_t required = fn.required();
    if (n > p) raise(PyExc_TypeError, text::too_many_positional(fn.name, required, p, n));
    for (std::size_t i = 0; i < p; ++i) slots[i] = i < n ? args[i] : nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, j);
            long idx = find_param(fn, kw);
            if (idx < 0) keyword_error(fn, text::kUnexpectedKeyword, kw);
            if (slots[idx] != nullptr) keyword_error(fn, text::kMultipleValues, kw);
            slots[idx] = args[n + static_cast<std::size_t>(j)];
        }
    }
    if (n < required) {
        std::vector<const char*> absent;
        for (std::size_t i = n; i < required; ++i)
            if (slots[i] == nullptr) absent.push_back(fn.params[i].name);
        if (!absent.empty()) raise(PyExc_TypeError, text::missing_required(fn.name, absent));
    }
}

}  // namespace tarnexa::py
