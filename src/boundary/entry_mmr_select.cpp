// mmr_select_py(candidates, similarities, matrix, k, lambda_): [(row, mmr score), ...].
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "mmr/mmr.hpp"

namespace tarnexa::entries {
namespace {

constexpr const char* kParams[] = {"candidates", "similarities", "matrix", "k", "lambda_"};
constexpr py::FunctionDesc kDesc{"mmr_select_py", kParams, 5};

}  // namespace

PyObject* mmr_select_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::guarded([&] {
        PyObject* a[5];
        py::bind(kDesc, args, nargsf, kwnames, a);
        py::CallContext ctx;
        using py::convert_arg;
        std::vector<std::uint64_t> candidates = convert_arg("candidates", [&] { return py::to_index_list(a[0]); });
        py::ArrayArg similarities = convert_arg("similarities", [&] { return py::to_array(a[1], py::Elem::float32, 1); });
        py::ArrayArg matrix = convert_arg("matrix", [&] { return py::to_array(a[2], py::Elem::float32, 2); });
        std::uint64_t k = convert_arg("k", [&] { return py::to_u64(a[3], ctx); });
        double lambda = convert_arg("lambda_", [&] { return py::to_f64(a[4], ctx); });

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
