// tarnexa._native_test: hooks for the package's tests and benchmarks into the int8 kernels,
// built and installed beside tarnexa._native and never imported by the package itself.
#include <algorithm>
#include <iterator>
#include <string_view>

#include "boundary/arguments.hpp"
#include "boundary/guard.hpp"
#include "kernels/int8.hpp"
#include "native/exported.hpp"

namespace tarnexa::native {
namespace {

using C = params::Conv;

// int8_dots(codes, cols, queries, isa): the int8 kernel named by isa ("portable", "avx2",
// "avx512-vnni", "neon", "neon-sdot"; one this CPU lacks falls back to the best) on codes (rows of at
// least cols codes) against queries (at most six rows of int8_padded(cols) codes); int32 bytes,
// one run of rows per query. For tests of each kernel against the portable one.
enum DotsParameter { kCodes, kCols, kQueries, kIsa };
constexpr params::Param kDotsParams[] = {
    {"codes", C::codes_i8}, {"cols", C::count}, {"queries", C::codes_i8}, {"isa", C::text}};
constexpr params::Function kDotsFunction{"int8_dots", kDotsParams, "Integer dot products of int8 codes on one kernel."};

PyObject* int8_dots(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kDotsParams, a, ctx);
    ctx.arguments_converted();
    const CodesView c = v.array(kCodes).codes(), qm = v.array(kQueries).codes();
    const std::uint64_t cols = v.count(kCols);
    if (qm.rows > kernels::kInt8MaxVecs || c.cols < cols || qm.cols != kernels::int8_padded(cols) ||
        static_cast<std::size_t>(qm.row_stride) != kernels::int8_padded(cols) || c.row_stride < 0)
        py::raise(PyExc_ValueError, "codes or queries do not fit cols");
    const std::string_view name = v.text(kIsa);
    const auto* named = std::find_if(std::begin(kernels::kInt8Kernels), std::end(kernels::kInt8Kernels),
                                     [&](kernels::Isa i) { return name == kernels::isa_name(i); });
    if (named == std::end(kernels::kInt8Kernels)) py::raise(PyExc_ValueError, "unknown isa");
    const std::size_t n = c.rows, nq = qm.rows;
    py::Ref out = py::made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * nq * 4)));
    auto* res = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(out.get()));
    const std::int8_t* qv[kernels::kInt8MaxVecs];
    std::int32_t* ov[kernels::kInt8MaxVecs];
    for (std::size_t q = 0; q < nq; ++q) {
        qv[q] = qm.data + q * static_cast<std::size_t>(qm.row_stride);
        ov[q] = res + q * n;
    }
    kernels::int8_dot_rows_with(*named, c.data, static_cast<std::size_t>(c.row_stride), cols, n, qv, nq, ov);
    return out.release();
}

// int8_isas(): the int8 kernels this CPU runs, best last.
constexpr params::Function kIsasFunction{"int8_isas", {}, "The int8 kernels this CPU runs, best last."};

PyObject* int8_isas(PyObject*, PyObject* const*) {
    py::Ref list = py::made(PyList_New(0));
    for (kernels::Isa isa : kernels::kInt8Kernels)
        if (kernels::int8_isa_supported(isa)) {
            py::Ref name = py::made(PyUnicode_FromString(kernels::isa_name(isa)));
            py::check(PyList_Append(list.get(), name.get()));
        }
    return list.release();
}

using Int8Dots = Exported<kDotsFunction, int8_dots>;
using Int8Isas = Exported<kIsasFunction, int8_isas>;
constexpr const py::FunctionDesc* kFunctions[] = {&Int8Dots::desc, &Int8Isas::desc};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "tarnexa._native_test", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
    py::Ref module = py::check_ptr(PyModule_Create(&g_def));
    for (const py::FunctionDesc* e : kFunctions)
        py::check(PyModule_AddObjectRef(module.get(), e->name(), py::function_object(module.get(), *e).get()));
    return module.release();
}

}  // namespace
}  // namespace tarnexa::native

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native_test() {
    return tarnexa::py::guarded([] { return tarnexa::native::init(); });
}
