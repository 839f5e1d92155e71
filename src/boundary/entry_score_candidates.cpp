// score_candidates(...): converts the eighteen arguments, runs the scoring pipeline and
// returns [{"id": ..., "score": ...}, ...].
#include <optional>

#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "boundary/messages.hpp"
#include "scoring/parameters.hpp"
#include "scoring/score.hpp"

namespace tarnexa::entries {
namespace {

using scoring::kParameters;
using enum scoring::Parameter;
PyObject* g_names[kParameterCount];

// The rows of the ids that are keys of the map (or of the core's own ids), in list order;
// unknown ids are skipped.
std::vector<std::uint64_t> known_rows(const py::TextList& ids, const py::IdMap* map, const ScoreCore& core) {
    std::vector<std::uint64_t> rows;
    rows.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (std::optional<std::uint64_t> row = map ? map->find(ids.item(i)) : core.row_of(ids.text(i)))
            rows.push_back(*row);
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

py::Ref build(const std::vector<scoring::Hit>& hits, const py::TextList* ids, const ScoreCore& core) {
    PyObject* id_key = result_key(0);
    PyObject* score_key = result_key(1);
    // Sized once; a slot not yet filled is NULL, which the list's deallocation skips.
    py::Ref list = py::made(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        py::Ref id = ids ? id_object(*ids, static_cast<std::size_t>(hits[i].id_index)) : core.id_object(hits[i].id_index);
        py::Ref score = py::made(PyFloat_FromDouble(hits[i].score));
        py::Ref dict = py::made(PyDict_New());
        py::check(PyDict_SetItem(dict.get(), id_key, id.get()));
        py::check(PyDict_SetItem(dict.get(), score_key, score.get()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list;
}

// Converts the bound arguments in parameter order; the first failure ends the call.
}  // namespace

ScoreArguments convert_score(PyObject* const* a, py::CallContext& ctx, bool own_ids) {
    auto given = [&](scoring::Parameter p) { return a[p] != nullptr && a[p] != Py_None; };
    // Converts parameter p by `conv`; a failure names the parameter.
    auto arg = [&](scoring::Parameter p, auto&& conv) -> decltype(auto) {
        return py::convert_arg(kParameters[p].name, [&]() -> decltype(auto) { return conv(a[p]); });
    };
    auto array = [&](scoring::Parameter p) -> const py::ArrayArg* {
        return &arg(p, [&](PyObject* o) -> py::ArrayArg& {
            return py::to_array(o, kParameters[p].conv, ctx, kParameters[p].name);
        });
    };
    auto texts = [&](scoring::Parameter p) -> const py::TextList* {
        return &arg(p, [&](PyObject* o) -> py::TextList& { return py::to_text_list(o, ctx); });
    };
    auto boolean = [&](scoring::Parameter p) { return arg(p, [&](PyObject* o) { return py::to_bool(o, ctx); }); };
    auto count = [&](scoring::Parameter p) { return arg(p, [&](PyObject* o) { return py::to_u64(o, ctx); }); };
    auto real = [&](scoring::Parameter p) { return arg(p, [&](PyObject* o) { return py::to_f64(o, ctx); }); };

    ScoreArguments v{.matrix = array(kMatrix), .ids = nullptr, .id_to_idx = nullptr, .query = nullptr};
    if (!own_ids) {
        const py::Prechecked pre = py::precheck_ids_and_map(a[kIds], a[kIdToIdx]);
        v.ids = &arg(kIds, [&](PyObject* o) -> py::TextList& { return py::to_text_list(o, ctx, pre.items); });
        v.id_to_idx = &arg(kIdToIdx, [&](PyObject* o) -> py::IdMap& { return py::to_id_map(o, ctx, &pre); });
    }
    v.query = array(kQueryVec);
    if (given(kTimestamps)) v.timestamps = array(kTimestamps);
    if (given(kPreFilterIds)) v.pre_filter_ids = texts(kPreFilterIds);
    if (given(kNotLikeVec)) v.not_like = array(kNotLikeVec);
    scoring::Request& r = v.request;
    if (a[kDiverse]) r.diverse = boolean(kDiverse);
    if (a[kLimit]) r.limit = count(kLimit);
    if (a[kOversample]) r.oversample = count(kOversample);
    if (a[kThreshold]) r.threshold = arg(kThreshold, [&](PyObject* o) { return py::to_f32(o, ctx); });
    if (a[kMmrLambda]) r.mmr_lambda = real(kMmrLambda);
    if (a[kRecent]) r.recent = boolean(kRecent);
    if (given(kRecentDays)) r.recent_days = real(kRecentDays);
    if (given(kLikeIds)) v.like_ids = texts(kLikeIds);
    if (given(kTrajFromVec)) v.traj_from = array(kTrajFromVec);
    if (given(kTrajToVec)) v.traj_to = array(kTrajToVec);
    if (given(kMask)) v.mask = array(kMask);
    return v;
}

// The scoring core's request: the scalars as converted, the arrays as views and the id lists
// as the rows of their known ids.
scoring::Request score_request(const ScoreArguments& v, const ScoreCore& core) {
    scoring::Request r = v.request;
    r.matrix = v.matrix->matrix();
    r.n_ids = v.ids ? v.ids->size() : core.id_count();
    r.query = v.query->vec<float>();
    if (v.timestamps) r.timestamps = v.timestamps->vec<double>();
    if (v.pre_filter_ids) r.pre_filter_rows = known_rows(*v.pre_filter_ids, v.id_to_idx, core);
    if (v.not_like) r.not_like = v.not_like->vec<float>();
    if (v.like_ids) r.like_rows = known_rows(*v.like_ids, v.id_to_idx, core);
    if (v.traj_from) r.traj_from = v.traj_from->vec<float>();
    if (v.traj_to) r.traj_to = v.traj_to->vec<float>();
    if (v.mask) r.mask = v.mask->bools();
    return r;
}

PyObject* score_result(const scoring::Outcome& out, const ScoreArguments& v, const ScoreCore& core) {
    if (out.dimension_mismatch) py::raise(PyExc_ValueError, text::query_dimension(out.query_len, out.dims));
    return build(out.hits, v.ids, core).release();
}

constinit const py::FunctionDesc kScoreCandidates{scoring::kScoreCandidates, score_candidates, g_names};

PyObject* score_call(PyObject* const* a, ScoreCore& core) {
    py::CallContext ctx;
    const ScoreArguments v = convert_score(a, ctx, core.owns_ids());
    core.convert_more(a, ctx);
    // No Python code runs from here until the result is built.
    ctx.arguments_converted();
    return score_result(core.run(score_request(v, core)), v, core);
}

PyObject* score_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    struct Pipeline final : ScoreCore {
        scoring::Outcome run(const scoring::Request& r) override { return scoring::score_candidates(r); }
    };
    return py::called<kParameterCount>(kScoreCandidates, args, nargsf, kwnames, [&](PyObject* const* a) -> PyObject* {
        Pipeline core;
        return score_call(a, core);
    });
}

}  // namespace tarnexa::entries
