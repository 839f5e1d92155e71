#include "boundary/binding.hpp"

#include <cstdint>
#include <vector>

#include "boundary/messages.hpp"

namespace tarnexa::py {
namespace {

[[noreturn, gnu::cold]] void keyword_error(const FunctionDesc& fn, const char* format, PyObject* kw) {
    raise(PyExc_TypeError, PyUnicode_FromFormat(format, fn.name(), kw));
}

// The parameter names as str objects, interned once for the process. They are made in order, so
// the last slot is filled only when all are (a failure part way leaves it empty for the next call).
PyObject* const* names(const FunctionDesc& fn) {
    const auto ps = fn.params();
    if (!ps.empty() && fn.interned[ps.size() - 1] == nullptr) {
        for (std::size_t i = 0; i < ps.size(); ++i)
            if (fn.interned[i] == nullptr) fn.interned[i] = made(PyUnicode_InternFromString(ps[i].name)).release();
    }
    return fn.interned;
}

// The parameter index named by `kw`, or -1: the same object first (callers' keywords are
// interned too), then the same text.
long find_param(const FunctionDesc& fn, PyObject* kw) {
    PyObject* const* n = names(fn);
    const std::size_t p = fn.params().size();
    for (std::size_t i = 0; i < p; ++i)
        if (n[i] == kw) return static_cast<long>(i);
    for (std::size_t i = 0; i < p; ++i) {
        int c = PyUnicode_Compare(kw, n[i]);
        if (c == 0) return static_cast<long>(i);
        if (c == -1 && PyErr_Occurred()) PyErr_Clear();  // not a str: it names no parameter
    }
    return -1;
}

// A default as the text signature shows it, rendered from its value.
std::string default_text(const params::Default& d) {
    using Is = params::Default::Is;
    switch (d.is) {
        case Is::none: return "None";
        case Is::boolean: return d.value != 0.0 ? "True" : "False";
        case Is::count: return std::to_string(static_cast<std::uint64_t>(d.value));
        case Is::real: break;
        case Is::required: return {};
    }
    // repr() of the float, as Python would write the default.
    char* repr = PyOS_double_to_string(d.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) throw_pending();
    std::string out = repr;
    PyMem_Free(repr);
    return out;
}

}  // namespace

std::string docstring(const params::Function& fn) {
    std::string s = fn.name;
    s += '(';
    bool any_doc = false;
    for (std::size_t i = 0; i < fn.params.size(); ++i) {
        const params::Param& p = fn.params[i];
        if (i > 0) s += ", ";
        s += p.name;
        if (!p.required()) s.append("=").append(default_text(p.dflt));
        any_doc = any_doc || p.doc != nullptr;
    }
    s.append(")\n--\n\n").append(fn.head);
    if (any_doc) {
        s += "Args:\n";
        for (const params::Param& p : fn.params)
            if (p.doc) s.append("    ").append(p.name).append(": ").append(p.doc).append("\n");
    }
    if (fn.tail) s += fn.tail;
    return s;
}

Ref function_object(PyObject* module, const FunctionDesc& e) {
    auto* def = new PyMethodDef{e.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.entry)),
                                METH_FASTCALL | METH_KEYWORDS, (new std::string(docstring(e.fn)))->c_str()};
    Ref name_of_module = check_ptr(PyModule_GetNameObject(module));
    return check_ptr(PyCMethod_New(def, module, name_of_module.get(), nullptr));
}

void bind(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots) {
    std::size_t n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    std::size_t p = fn.params().size();
    std::size_t required = fn.required();
    if (n > p) raise(PyExc_TypeError, text::too_many_positional(fn.name(), required, p, n));
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
            if (slots[i] == nullptr) absent.push_back(fn.params()[i].name);
        if (!absent.empty()) raise(PyExc_TypeError, text::missing_required(fn.name(), absent));
    }
}

}  // namespace tarnexa::py
