// The call guard around every Python entry: no C++ exception crosses it.
#pragma once

#include <new>

#include "boundary/binding.hpp"
#include "boundary/messages.hpp"
#include "boundary/py.hpp"

namespace tarnexa::py {

// The internal-fault exception class, created on first need and kept for the process.
// Returns a borrowed reference, or NULL with an exception set.
PyObject* panic_exception_type() noexcept;

// Reports `f` on standard error and sets the internal-fault exception; returns NULL.
// A failure while doing so aborts the process.
PyObject* raise_fault(const Fault& f) noexcept;

[[gnu::cold]] PyObject* raise_unknown_exception(const char* what) noexcept;

// Runs `body` (returning a new reference, or throwing) under the guard.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) [[unlikely]]
            PyErr_SetString(PyExc_SystemError, text::kNoExceptionSet);
        return nullptr;
    } catch (const Fault& f) {
        return raise_fault(f);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_unknown_exception(e.what());
    } catch (...) {
        return raise_unknown_exception("unknown C++ exception");
    }
}

// A function's entry: binds the call's arguments to fn's N parameters and runs body(slots)
// under the guard.
template <std::size_t N, class Body>
PyObject* called(const FunctionDesc& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                 Body&& body) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[N];
        bind(fn, args, nargsf, kwnames, slots);
        return body(slots);
    });
}

}  // namespace tarnexa::py
