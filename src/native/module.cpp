// tarnexa._native: the package's private helpers, computed by the module's own scoring code so
// that the package never restates one of its formulas in Python. Not part of _tarnexa's surface.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "scoring/prepare.hpp"
#include "scoring/score.hpp"

namespace tarnexa::native {
namespace {

using C = params::Conv;

// like_query(query_vec, liked_rows): the query blended with the liked rows' centroid exactly as
// score_candidates blends it with like_ids (the rows in the order given), as float32 bytes.
enum LikeParameter { kQueryVec, kLikedRows, kLikeCount };
constexpr params::Param kLikeParams[kLikeCount] = {{"query_vec", C::vec_f32}, {"liked_rows", C::matrix_f32}};
constexpr params::Function kLikeFunction{
    "like_query", kLikeParams,
    "The query blended 0.5/0.5 with the normalised centroid of liked_rows (at least one), as\n"
    "score_candidates blends it for like_ids; float32 bytes."};
PyObject* g_like_names[kLikeCount];

PyObject* like_query(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kLikeQuery{kLikeFunction, like_query, g_like_names};

PyObject* like_query(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<kLikeCount>(kLikeQuery, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        auto array = [&](LikeParameter p) -> const py::ArrayArg& {
            const char* name = kLikeParams[p].name;
            return py::convert_arg(name, [&]() -> py::ArrayArg& {
                return py::to_array(a[p], kLikeParams[p].conv, ctx, name);
            });
        };
        const py::ArrayArg& query = array(kQueryVec);
        const py::ArrayArg& liked = array(kLikedRows);
        ctx.arguments_converted();
        const MatrixView rows = liked.matrix();
        if (rows.rows == 0) py::raise(PyExc_ValueError, "liked_rows has no rows");
        if (rows.cols != query.vec<float>().size())
            py::raise(PyExc_ValueError, "liked_rows and query_vec differ in width");
        std::vector<std::uint64_t> order(rows.rows);
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        const scoring::Vector q = *scoring::prepare_query(rows, query.vec<float>(), order);
        return py::made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(q.data()),
                                                  static_cast<Py_ssize_t>(q.size() * sizeof(float))))
            .release();
    });
}

// round4(x): a score rounded to four decimals as score_candidates reports it.
constexpr params::Param kRoundParams[] = {{"x", C::real}};
constexpr params::Function kRoundFunction{"round4", kRoundParams,
                                          "x rounded to four decimals as score_candidates rounds its scores."};
PyObject* g_round_names[1];

PyObject* round4(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kRound4{kRoundFunction, round4, g_round_names};

PyObject* round4(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kRound4, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        const double x = py::convert_arg(kRoundParams[0].name, [&] { return py::to_f64(a[0], ctx); });
        return py::made(PyFloat_FromDouble(scoring::round4(x))).release();
    });
}

constexpr const py::FunctionDesc* kFunctions[] = {&kLikeQuery, &kRound4};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "tarnexa._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
    py::Ref module = py::check_ptr(PyModule_Create(&g_def));
    for (const py::FunctionDesc* e : kFunctions)
        py::check(PyModule_AddObjectRef(module.get(), e->name(), py::function_object(module.get(), *e).get()));
    return module.release();
}

}  // namespace
}  // namespace tarnexa::native

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return tarnexa::py::guarded([] { return tarnexa::native::init(); });
}
