// score_candidates(...): converts the eighteen arguments, runs the scoring pipeline and
// returns [{"id": ..., "score": ...}, ...].
#include <optional>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "scoring/score.hpp"

namespace tarnexa::entries {
namespace {

enum Param {
    kMatrix, kIds, kIdToIdx, kQueryVec, kTimestamps, kPreFilterIds, kNotLikeVec, kDiverse, kLimit,
    kOversample, kThreshold, kMmrLambda, kRecent, kRecentDays, kLikeIds, kTrajFromVec, kTrajToVec, kMask,
    kParamCount
};
constexpr const char* kParams[kParamCount] = {
    "matrix", "ids", "id_to_idx", "query_vec", "timestamps", "pre_filter_ids", "not_like_vec", "diverse",
    "limit", "oversample", "threshold", "mmr_lambda", "recent", "recent_days", "like_ids", "traj_from_vec",
    "traj_to_vec", "mask"};
constexpr py::FunctionDesc kDesc{"score_candidates", kParams, 4};

// The rows of the ids that are keys of the map, in list order; unknown ids are skipped.
std::vector<std::uint64_t> known_rows(const py::TextList& ids, const py::IdMap& map) {
    std::vector<std::uint64_t> rows;
    rows.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (std::optional<std::uint64_t> row = map.find(ids.item(i))) rows.push_back(*row);
    return rows;
}

PyObject* result_key(int which) {
    static PyObject* keys[2] = {nullptr, nullptr};
    if (keys[which] == nullptr) keys[which] = py::made(PyUnicode_InternFromString(which ? "score" : "id")).release();
    return keys[which];
}

// The id text as an exact str: the caller's own object when it is one.
py::Ref id_object(const py::TextList& ids, std::size_t i) {
    PyObject* item = ids.item(i);
    if (PyUnicode_CheckExact(item)) return py::Ref::borrow(item);
    std::string_view t = ids.text(i);
    return py::made(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
}

py::Ref build(const std::vector<scoring::Hit>& hits, const py::TextList& ids) {
    PyObject* id_key = result_key(0);
    PyObject* score_key = result_key(1);
    // Sized once; a slot not yet filled is NULL, which the list's deallocation skips.
    py::Ref list = py::made(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        py::Ref id = id_object(ids, static_cast<std::size_t>(hits[i].id_index));
        py::Ref score = py::made(PyFloat_FromDouble(hits[i].score));
        py::Ref dict = py::made(PyDict_New());
        py::check(PyDict_SetItem(dict.get(), id_key, id.get()));
        py::check(PyDict_SetItem(dict.get(), score_key, score.get()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

}  // namespace

PyObject* score_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        PyObject* a[kParamCount];
        py::bind(kDesc, args, nargsf, kwnames, a);
        auto given = [&](Param p) { return a[p] != nullptr && a[p] != Py_None; };
        py::CallContext ctx;
        using py::convert_arg;

        // Converted in parameter order; the first failure ends the call.
        py::ArrayArg matrix = convert_arg("matrix", [&] { return py::to_array(a[kMatrix], py::Elem::float32, 2); });
        const py::Prechecked pre = py::precheck_ids_and_map(a[kIds], a[kIdToIdx]);
        py::TextList ids = convert_arg("ids", [&] { return py::to_text_list(a[kIds], ctx, pre.items); });
        ctx.watch(&ids);
        py::IdMap id_to_idx = convert_arg("id_to_idx", [&] { return py::to_id_map(a[kIdToIdx], ctx, &pre); });
        ctx.watch(&id_to_idx);
        py::ArrayArg query = convert_arg("query_vec", [&] { return py::to_array(a[kQueryVec], py::Elem::float32, 1); });
        py::ArrayArg timestamps, not_like, traj_from, traj_to, mask;
        std::optional<py::TextList> pre_filter_ids, like_ids;
        if (given(kTimestamps))
            timestamps = convert_arg("timestamps", [&] { return py::to_array(a[kTimestamps], py::Elem::float64, 1); });
        if (given(kPreFilterIds)) {
            pre_filter_ids = convert_arg("pre_filter_ids", [&] { return py::to_text_list(a[kPreFilterIds], ctx); });
            ctx.watch(&*pre_filter_ids);
        }
        if (given(kNotLikeVec))
            not_like = convert_arg("not_like_vec", [&] { return py::to_array(a[kNotLikeVec], py::Elem::float32, 1); });
        scoring::Request r;
        if (a[kDiverse]) r.diverse = convert_arg("diverse", [&] { return py::to_bool(a[kDiverse], ctx); });
        if (a[kLimit]) r.limit = convert_arg("limit", [&] { return py::to_u64(a[kLimit], ctx); });
        if (a[kOversample]) r.oversample = convert_arg("oversample", [&] { return py::to_u64(a[kOversample], ctx); });
        if (a[kThreshold]) r.threshold = convert_arg("threshold", [&] { return py::to_f32(a[kThreshold], ctx); });
        if (a[kMmrLambda]) r.mmr_lambda = convert_arg("mmr_lambda", [&] { return py::to_f64(a[kMmrLambda], ctx); });
        if (a[kRecent]) r.recent = convert_arg("recent", [&] { return py::to_bool(a[kRecent], ctx); });
        if (given(kRecentDays))
            r.recent_days = convert_arg("recent_days", [&] { return py::to_f64(a[kRecentDays], ctx); });
        if (given(kLikeIds)) {
            like_ids = convert_arg("like_ids", [&] { return py::to_text_list(a[kLikeIds], ctx); });
            ctx.watch(&*like_ids);
        }
        if (given(kTrajFromVec))
            traj_from = convert_arg("traj_from_vec", [&] { return py::to_array(a[kTrajFromVec], py::Elem::float32, 1); });
        if (given(kTrajToVec))
            traj_to = convert_arg("traj_to_vec", [&] { return py::to_array(a[kTrajToVec], py::Elem::float32, 1); });
        if (given(kMask)) mask = convert_arg("mask", [&] { return py::to_array(a[kMask], py::Elem::boolean, 1); });

        // No Python code runs from here until the result is built.
        r.matrix = matrix.matrix();
        r.n_ids = ids.size();
        r.query = query.vec<float>();
        if (timestamps) r.timestamps = timestamps.vec<double>();
        if (pre_filter_ids) r.pre_filter_rows = known_rows(*pre_filter_ids, id_to_idx);
        if (not_like) r.not_like = not_like.vec<float>();
        if (like_ids) r.like_rows = known_rows(*like_ids, id_to_idx);
        if (traj_from) r.traj_from = traj_from.vec<float>();
        if (traj_to) r.traj_to = traj_to.vec<float>();
        if (mask) r.mask = mask.bools();

        scoring::Outcome out = scoring::score_candidates(r);
        if (out.dimension_mismatch) {
            PyErr_Format(PyExc_ValueError, "Query vector dimension %zu doesn't match cache dimension %zu",
                         out.query_len, out.dims);
            return nullptr;
        }
        return build(out.hits, ids).release();
    });
}

}  // namespace tarnexa::entries
