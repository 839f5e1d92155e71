#include "boundary/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tarnexa::py {
namespace {

[[noreturn, gnu::cold]] void too_many(const FunctionDesc& fn, std::size_t n) {
    std::size_t p = fn.params.size();
    std::string msg = std::string(fn.name) + "() takes ";
    if (fn.required == p)
        msg += std::to_string(p);
    else
        msg += "from " + std::to_string(fn.required) + " to " + std::to_string(p);
    msg += " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
}

[[noreturn, gnu::cold]] void keyword_error(const FunctionDesc& fn, const char* what, PyObject* kw) {
    PyErr_Format(PyExc_TypeError, "%s() %s '%U'", fn.name, what, kw);
    throw PythonErrorSet{};
}

[[noreturn, gnu::cold]] void missing(const FunctionDesc& fn, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                list += " and ";
            else if (i + 1 == names.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += "'" + std::string(names[i]) + "'";
    }
    raise(PyExc_TypeError, std::string(fn.name) + "() missing " + std::to_string(names.size()) +
                               " required positional argument" + (names.size() == 1 ? "" : "s") + ": " +
                               list);
}

// The parameter index named by `kw`, or -1. Names are compared as exact UTF-8 texts.
long find_param(const FunctionDesc& fn, PyObject* kw) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(kw, &n);
    if (text == nullptr) {
        PyErr_Clear();  // not encodable, so it names no parameter
        return -1;
    }
    for (std::size_t i = 0; i < fn.params.size(); ++i) {
        const char* p = fn.params[i];
        if (std::strlen(p) == static_cast<std::size_t>(n) && std::memcmp(p, text, n) == 0)
            return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots) {
    std::size_t n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    std::size_t p = fn.params.size();
    if (n > p) too_many(fn, n);
    for (std::size_t i = 0; i < p; ++i) slots[i] = i < n ? args[i] : nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, j);
            long idx = find_param(fn, kw);
            if (idx < 0) keyword_error(fn, "got an unexpected keyword argument", kw);
            if (slots[idx] != nullptr) keyword_error(fn, "got multiple values for argument", kw);
            slots[idx] = args[n + static_cast<std::size_t>(j)];
        }
    }
    if (n < fn.required) {
        std::vector<const char*> absent;
        for (std::size_t i = n; i < fn.required; ++i)
            if (slots[i] == nullptr) absent.push_back(fn.params[i]);
        if (!absent.empty()) missing(fn, absent);
    }
}

}  // namespace tarnexa::py
