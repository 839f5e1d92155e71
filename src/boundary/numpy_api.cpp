#include "boundary/numpy_api.hpp"

#include <cstdint>
#include <utility>

#include "boundary/messages.hpp"

namespace tarnexa::numpy {
namespace {

Api g_api;
bool g_ready = false;

py::Ref import(const char* name) {
    return py::check_ptr(PyImport_ImportModule(name));
}

py::Ref attr(PyObject* o, const char* name) {
    return py::check_ptr(PyObject_GetAttrString(o, name));
}

void load() {
    py::Ref np = import("numpy");
    py::Ref version = attr(np.get(), "__version__");
    py::Ref lib = import("numpy.lib");
    py::Ref parser = attr(lib.get(), "NumpyVersion");
    py::Ref parsed = py::check_ptr(PyObject_CallOneArg(parser.get(), version.get()));
    py::Ref major_obj = attr(parsed.get(), "major");
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) py::throw_pending();
    if (major < 0 || major > 255) py::raise(PyExc_ValueError, text::numpy_major_out_of_range(major));
    const char* name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    py::Ref multiarray = import(name);
    py::Ref capsule = attr(multiarray.get(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(capsule.get()))
        py::raise(PyExc_TypeError, text::cannot_convert(py::type_name(capsule.get()), text::kPyCapsule));
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) py::throw_pending();
    Api a;
    a.table = static_cast<void**>(table);
    a.descr_layout_2x = a.feature_version() > kLastFeatureVersion1x;
    for (auto [slot, type] : {std::pair{&a.descr_bool, kBool}, {&a.descr_float32, kFloat32}, {&a.descr_float64, kFloat64},
                               {&a.descr_int8, kInt8}}) {
        *slot = a.descr_from_type(type);
        if (*slot == nullptr) py::throw_pending();
    }
    a.multiarray = multiarray.release();
    capsule.release();  // the table stays valid for the process
    g_api = a;
    g_ready = true;
}

}  // namespace

std::string render_pending_error() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return "<no error set>";
    py::Ref owned = py::Ref::steal(exc);
    std::string out = py::type_name(exc);
    if (py::Ref s = py::Ref::steal(PyObject_Str(exc))) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) out.append(": ").append(p, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    // The traceback, as the traceback module formats it.
    if (py::Ref tb_mod = py::Ref::steal(PyImport_ImportModule("traceback"))) {
        if (py::Ref fmt = py::Ref::steal(PyObject_GetAttrString(tb_mod.get(), "format_exception"))) {
            if (py::Ref lines = py::Ref::steal(PyObject_CallOneArg(fmt.get(), exc))) {
                py::Ref empty = py::Ref::steal(PyUnicode_FromString(""));
                if (empty) {
                    if (py::Ref joined = py::Ref::steal(PyUnicode_Join(empty.get(), lines.get()))) {
                        Py_ssize_t n = 0;
                        if (const char* p = PyUnicode_AsUTF8AndSize(joined.get(), &n))
                            out.append("\n").append(p, static_cast<std::size_t>(n));
                    }
                }
            }
        }
    }
    PyErr_Clear();
    return out;
}

const Api& api() {
    if (!g_ready) {
        try {
            load();
        } catch (const PythonErrorSet&) {
            fault(text::join({text::kNumpyApiError, ": ", render_pending_error()}));
        }
    }
    return g_api;
}

const Api* loaded_api() noexcept { return g_ready ? &g_api : nullptr; }

Py_ssize_t item_size(PyObject* array) noexcept {
    PyObject* d = fields(array)->descr;
    if (g_api.descr_layout_2x) return reinterpret_cast<Descr2x*>(d)->elsize;
    return reinterpret_cast<Descr1x*>(d)->elsize;
}

}  // namespace tarnexa::numpy
