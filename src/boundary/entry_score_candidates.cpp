// score_candidates(...): converts the eighteen arguments, runs the scoring pipeline and
// returns [{"id": ..., "score": ...}, ...].
#include <optional>

#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "boundary/messages.hpp"
#include "scoring/score.hpp"

namespace tarnexa::entries {
namespace {

enum Param {
    kMatrix, kIds, kIdToIdx, kQueryVec, kTimestamps, kPreFilterIds, kNotLikeVec, kDiverse, kLimit,
    kOversample, kThreshold, kMmrLambda, kRecent, kRecentDays, kLikeIds, kTrajFromVec, kTrajToVec, kMask,
    kParamCount
};
constexpr py::Param kParams[kParamCount] = {
    {"matrix"}, {"ids"}, {"id_to_idx"}, {"query_vec"}, {"timestamps", "None"}, {"pre_filter_ids", "None"},
    {"not_like_vec", "None"}, {"diverse", "False"}, {"limit", "10"}, {"oversample", "200"},
    {"threshold", "0.0"}, {"mmr_lambda", "0.7"}, {"recent", "False"}, {"recent_days", "None"},
    {"like_ids", "None"}, {"traj_from_vec", "None"}, {"traj_to_vec", "None"}, {"mask", "None"}};
PyObject* g_names[kParamCount];

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

constinit const py::FunctionDesc kScoreCandidates{
    "score_candidates", kParams,
    "Score and select candidates with composable landscape modulations.\n\n"
    "All text\u2192vector conversions must be done in Python before calling.\n"
    "This function takes pure arrays and returns scored results.\n\n"
    "Args:\n"
    "    matrix: Normalized embedding matrix (n, dims), float32.\n"
    "    ids: Document IDs aligned with matrix rows.\n"
    "    id_to_idx: {id: row_index} mapping.\n"
    "    query_vec: Query embedding (dims,), will be normalized.\n"
    "    timestamps: Optional (n,) float64 epoch seconds.\n"
    "    pre_filter_ids: Optional set of IDs to restrict search.\n"
    "    not_like_vec: Optional negative query for contrastive.\n"
    "    diverse: Enable MMR diversity selection.\n"
    "    limit: Max results.\n"
    "    oversample: Candidate pool size.\n"
    "    threshold: Minimum similarity cutoff.\n"
    "    mmr_lambda: Relevance vs diversity (0-1).\n"
    "    recent: Apply temporal decay.\n"
    "    recent_days: Half-life in days for temporal decay.\n"
    "    like_ids: Optional list of IDs for centroid blending.\n"
    "    traj_from_vec: Optional trajectory start vector.\n"
    "    traj_to_vec: Optional trajectory end vector.\n\n"
    "Returns list of dicts with 'id' and 'score' keys.",
    score_candidates, g_names};

PyObject* score_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        PyObject* a[kParamCount];
        py::bind(kScoreCandidates, args, nargsf, kwnames, a);
        auto given = [&](Param p) { return a[p] != nullptr && a[p] != Py_None; };
        py::CallContext ctx;
        using py::Elem;
        // Converts parameter p by `convert`; a failure names the parameter.
        auto arg = [&](Param p, auto&& convert) -> decltype(auto) {
            return py::convert_arg(kParams[p].name, [&]() -> decltype(auto) { return convert(a[p]); });
        };
        auto array = [&](Param p, Elem elem, int ndim) -> py::ArrayArg& {
            return arg(p, [&](PyObject* o) -> py::ArrayArg& { return py::to_array(o, elem, ndim, ctx, kParams[p].name); });
        };
        auto texts = [&](Param p) -> py::TextList& {
            return arg(p, [&](PyObject* o) -> py::TextList& { return py::to_text_list(o, ctx); });
        };
        auto boolean = [&](Param p) { return arg(p, [&](PyObject* o) { return py::to_bool(o, ctx); }); };
        auto u64 = [&](Param p) { return arg(p, [&](PyObject* o) { return py::to_u64(o, ctx); }); };
        auto f64 = [&](Param p) { return arg(p, [&](PyObject* o) { return py::to_f64(o, ctx); }); };

        // Converted in parameter order; the first failure ends the call.
        const py::ArrayArg& matrix = array(kMatrix, Elem::float32, 2);
        const py::Prechecked pre = py::precheck_ids_and_map(a[kIds], a[kIdToIdx]);
        const py::TextList& ids = arg(kIds, [&](PyObject* o) -> py::TextList& { return py::to_text_list(o, ctx, pre.items); });
        const py::IdMap& id_to_idx = arg(kIdToIdx, [&](PyObject* o) -> py::IdMap& { return py::to_id_map(o, ctx, &pre); });
        const py::ArrayArg& query = array(kQueryVec, Elem::float32, 1);
        const py::ArrayArg* timestamps = given(kTimestamps) ? &array(kTimestamps, Elem::float64, 1) : nullptr;
        const py::TextList* pre_filter_ids = given(kPreFilterIds) ? &texts(kPreFilterIds) : nullptr;
        const py::ArrayArg* not_like = given(kNotLikeVec) ? &array(kNotLikeVec, Elem::float32, 1) : nullptr;
        scoring::Request r;
        if (a[kDiverse]) r.diverse = boolean(kDiverse);
        if (a[kLimit]) r.limit = u64(kLimit);
        if (a[kOversample]) r.oversample = u64(kOversample);
        if (a[kThreshold]) r.threshold = arg(kThreshold, [&](PyObject* o) { return py::to_f32(o, ctx); });
        if (a[kMmrLambda]) r.mmr_lambda = f64(kMmrLambda);
        if (a[kRecent]) r.recent = boolean(kRecent);
        if (given(kRecentDays)) r.recent_days = f64(kRecentDays);
        const py::TextList* like_ids = given(kLikeIds) ? &texts(kLikeIds) : nullptr;
        const py::ArrayArg* traj_from = given(kTrajFromVec) ? &array(kTrajFromVec, Elem::float32, 1) : nullptr;
        const py::ArrayArg* traj_to = given(kTrajToVec) ? &array(kTrajToVec, Elem::float32, 1) : nullptr;
        const py::ArrayArg* mask = given(kMask) ? &array(kMask, Elem::boolean, 1) : nullptr;

        // No Python code runs from here until the result is built.
        ctx.arguments_converted();
        r.matrix = matrix.matrix();
        r.n_ids = ids.size();
        r.query = query.vec<float>();
        if (timestamps) r.timestamps = timestamps->vec<double>();
        if (pre_filter_ids) r.pre_filter_rows = known_rows(*pre_filter_ids, id_to_idx);
        if (not_like) r.not_like = not_like->vec<float>();
        if (like_ids) r.like_rows = known_rows(*like_ids, id_to_idx);
        if (traj_from) r.traj_from = traj_from->vec<float>();
        if (traj_to) r.traj_to = traj_to->vec<float>();
        if (mask) r.mask = mask->bools();

        scoring::Outcome out = scoring::score_candidates(r);
        if (out.dimension_mismatch) py::raise(PyExc_ValueError, text::query_dimension(out.query_len, out.dims));
        return build(out.hits, ids).release();
    });
}

}  // namespace tarnexa::entries
