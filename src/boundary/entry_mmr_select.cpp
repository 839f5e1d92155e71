// mmr_select_py(candidates, similarities, matrix, k, lambda_): [(row, mmr score), ...].
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "mmr/mmr.hpp"

namespace tarnexa::entries {
namespace {

constexpr py::Param kParams[] = {{"candidates"}, {"similarities"}, {"matrix"}, {"k"}, {"lambda_"}};
PyObject* g_names[std::size(kParams)];

}  // namespace

constinit const py::FunctionDesc kMmrSelectPy{"mmr_select_py", kParams,
                                    "MMR: iteratively select for relevance minus redundancy.\n"
                                    "Returns list of (index, mmr_score) tuples.",
                                    mmr_select_py, g_names};

PyObject* mmr_select_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::guarded([&] {
        PyObject* a[5];
        py::bind(kMmrSelectPy, args, nargsf, kwnames, a);
        py::CallContext ctx;
        using py::convert_arg;
        auto array = [&](int p, int ndim) -> py::ArrayArg& {
            const char* name = kParams[p].name;
            return convert_arg(name, [&]() -> py::ArrayArg& { return py::to_array(a[p], py::Elem::float32, ndim, ctx, name); });
        };
        std::vector<std::uint64_t> candidates = convert_arg(kParams[0].name, [&] { return py::to_index_list(a[0]); });
        const py::ArrayArg& similarities = array(1, 1);
        const py::ArrayArg& matrix = array(2, 2);
        std::uint64_t k = convert_arg(kParams[3].name, [&] { return py::to_u64(a[3], ctx); });
        double lambda = convert_arg(kParams[4].name, [&] { return py::to_f64(a[4], ctx); });
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
