// The module's Python-callable functions (vectorcall with keywords), each with the description
// that its binding and the module's function table read.
#pragma once

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "modifiers/modifiers.hpp"
#include "scoring/score.hpp"

namespace tarnexa::entries {

PyObject* parse_modifiers(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* score_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* mmr_select_py(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

extern const py::FunctionDesc kParseModifiers;
extern const py::FunctionDesc kScoreCandidates;
extern const py::FunctionDesc kMmrSelectPy;

// The nine-key dict parse_modifiers returns for `m` (a new dict).
py::Ref modifiers_dict(const modifiers::Modifiers& m);

// What computes score_candidates' result from its converted request: the pipeline, or (for the
// package's int8 search) the scan of a quantized copy, which converts arguments of its own after
// the eighteen and may hold the ids itself, built once (a[kIds] and a[kIdToIdx] are then unset).
struct ScoreCore {
    virtual void convert_more(PyObject* const*, py::CallContext&) {}
    virtual scoring::Outcome run(const scoring::Request& request) = 0;
    // The ids the core holds, when it holds them: their number, a text's row, row i's id as str.
    virtual bool owns_ids() const { return false; }
    virtual std::size_t id_count() const { return 0; }
    virtual std::optional<std::uint64_t> row_of(std::string_view) const { return std::nullopt; }
    virtual py::Ref id_object(std::uint64_t) const { return {}; }
};
// score_candidates' conversions of a[0..17] and its result list around `core`.
PyObject* score_call(PyObject* const* a, ScoreCore& core);

// score_call's steps, for a caller that converts many calls' arguments before computing any.
// The arguments as converted, in parameter order; absent optional ones are null. The values
// live in the call's context.
struct ScoreArguments {
    const py::ArrayArg* matrix;
    const py::TextList* ids;
    const py::IdMap* id_to_idx;
    const py::ArrayArg* query;
    const py::ArrayArg* timestamps = nullptr;
    const py::TextList* pre_filter_ids = nullptr;
    const py::ArrayArg* not_like = nullptr;
    const py::TextList* like_ids = nullptr;
    const py::ArrayArg* traj_from = nullptr;
    const py::ArrayArg* traj_to = nullptr;
    const py::ArrayArg* mask = nullptr;
    scoring::Request request;  // the scalars; the views are filled in by score_request
};
// Converts a[0..17] in parameter order (the ids too unless the core owns them); the first
// failure ends the call.
ScoreArguments convert_score(PyObject* const* a, py::CallContext& ctx, bool own_ids);
// The core's request: the scalars as converted, the arrays as views and the id lists as the rows
// of their known ids (read here: the request holds no Python object).
scoring::Request score_request(const ScoreArguments& v, const ScoreCore& core);
// The result list of an outcome; a query of the wrong width raises.
PyObject* score_result(const scoring::Outcome& out, const ScoreArguments& v, const ScoreCore& core);

}  // namespace tarnexa::entries
