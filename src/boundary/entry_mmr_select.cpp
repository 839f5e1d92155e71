// mmr_select_py(candidates, similarities, matrix, k, lambda_): [(row, mmr score), ...].
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "mmr/mmr.hpp"

namespace tarnexa::entries {
namespace {

enum Parameter { kCandidates, kSimilarities, kMatrix, kK, kLambda, kParameterCount };
using C = params::Conv;
constexpr params::Param kParams[kParameterCount] = {
    {"candidates", C::indices}, {"similarities", C::vec_f32}, {"matrix", C::matrix_f32}, {"k", C::count},
    {"lambda_", C::real}};
constexpr params::Function kFunction{"mmr_select_py", kParams,
                                     "MMR: iteratively select for relevance minus redundancy.\n"
                                     "Returns list of (index, mmr_score) tuples."};
PyObject* g_names[kParameterCount];

}  // namespace

constinit const py::FunctionDesc kMmrSelectPy{kFunction, mmr_select_py, g_names};

PyObject* mmr_select_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<kParameterCount>(kMmrSelectPy, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        // Converts parameter p by `convert`; a failure names the parameter.
        auto arg = [&](Parameter p, auto&& convert) -> decltype(auto) {
            return py::convert_arg(kParams[p].name, [&]() -> decltype(auto) { return convert(a[p]); });
        };
        auto array = [&](Parameter p) -> py::ArrayArg& {
            return arg(p, [&](PyObject* o) -> py::ArrayArg& {
                return py::to_array(o, kParams[p].conv, ctx, kParams[p].name);
            });
        };
        std::vector<std::uint64_t> candidates = arg(kCandidates, [](PyObject* o) { return py::to_index_list(o); });
        const py::ArrayArg& similarities = array(kSimilarities);
        const py::ArrayArg& matrix = array(kMatrix);
        std::uint64_t k = arg(kK, [&](PyObject* o) { return py::to_u64(o, ctx); });
        double lambda = arg(kLambda, [&](PyObject* o) { return py::to_f64(o, ctx); });
        ctx.arguments_converted();

        mmr::Selection chosen =
            mmr::mmr_select(candidates, similarities.vec<float>(), matrix.matrix(), k, lambda);
        py::Ref list = py::made(PyList_New(static_cast<Py_ssize_t>(chosen.size())));
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            py::Ref index = py::made(PyLong_FromUnsignedLongLong(chosen[i].first));
            py::Ref value = py::made(PyFloat_FromDouble(chosen[i].second));
            py::Ref pair = py::made(PyTuple_Pack(2, index.get(), value.get()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return list.release();
    });
}

}  // namespace tarnexa::entries
