#include "boundary/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnexa::py {
namespace {

PyObject* g_panic_type = nullptr;
thread_local bool t_raising = false;

// Source paths are reported from the project's src/ folder on.
const char* short_path(const char* file) {
    const char* p = std::strstr(file, "/src/");
    return p ? p + 1 : file;
}

[[noreturn]] void abort_during_fault(const char* what) {
    std::fprintf(stderr, "tarnexa: fatal: fault while reporting a fault: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(text::kPanicDottedName, text::kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* raise_fault(const Fault& f) noexcept {
    if (t_raising) abort_during_fault(f.what());
    t_raising = true;
    std::fprintf(stderr, "tarnexa: internal fault at %s:%u: %s\n", short_path(f.where().file_name()),
                 static_cast<unsigned>(f.where().line()), f.what());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_during_fault(f.what());
    PyObject* msg = PyUnicode_DecodeUTF8(f.message().data(), static_cast<Py_ssize_t>(f.message().size()),
                                         "replace");
    if (msg == nullptr) abort_during_fault(f.what());
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
    t_raising = false;
    return nullptr;
}

PyObject* raise_unknown_exception(const char* what) noexcept {
    return raise_fault(Fault(std::string(text::kUnexpectedCxxException) + what,
                             std::source_location::current()));
}

}  // namespace tarnexa::py
