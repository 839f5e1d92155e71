// score_candidates' parameters: the one place that states their names, order, conversions,
// defaults and docstring lines. The entry binds and documents from it, and Request takes its
// defaults from it.
#pragma once

#include "common/params.hpp"

namespace tarnexa::scoring {

enum Parameter {
    kMatrix, kIds, kIdToIdx, kQueryVec, kTimestamps, kPreFilterIds, kNotLikeVec, kDiverse, kLimit,
    kOversample, kThreshold, kMmrLambda, kRecent, kRecentDays, kLikeIds, kTrajFromVec, kTrajToVec, kMask,
    kParameterCount
};

namespace p = params;
using C = params::Conv;
inline constexpr p::Param kParameters[kParameterCount] = {
    {"matrix", C::matrix_f32, p::kRequired, "Normalized embedding matrix (n, dims), float32."},
    {"ids", C::texts, p::kRequired, "Document IDs aligned with matrix rows."},
    {"id_to_idx", C::id_map, p::kRequired, "{id: row_index} mapping."},
    {"query_vec", C::vec_f32, p::kRequired, "Query embedding (dims,), will be normalized."},
    {"timestamps", C::vec_f64, p::kNone, "Optional (n,) float64 epoch seconds."},
    {"pre_filter_ids", C::texts, p::kNone, "Optional set of IDs to restrict search."},
    {"not_like_vec", C::vec_f32, p::kNone, "Optional negative query for contrastive."},
    {"diverse", C::boolean, p::flag(false), "Enable MMR diversity selection."},
    {"limit", C::count, p::count(10), "Max results."},
    {"oversample", C::count, p::count(200), "Candidate pool size."},
    {"threshold", C::real32, p::real(0.0), "Minimum similarity cutoff."},
    {"mmr_lambda", C::real, p::real(0.7), "Relevance vs diversity (0-1)."},
    {"recent", C::boolean, p::flag(false), "Apply temporal decay."},
    {"recent_days", C::real, p::kNone, "Half-life in days for temporal decay."},
    {"like_ids", C::texts, p::kNone, "Optional list of IDs for centroid blending."},
    {"traj_from_vec", C::vec_f32, p::kNone, "Optional trajectory start vector."},
    {"traj_to_vec", C::vec_f32, p::kNone, "Optional trajectory end vector."},
    {"mask", C::vec_bool, p::kNone},
};

inline constexpr p::Function kScoreCandidates{
    "score_candidates", kParameters,
    "Score and select candidates with composable landscape modulations.\n\n"
    "All text\u2192vector conversions must be done in Python before calling.\n"
    "This function takes pure arrays and returns scored results.\n\n",
    "\nReturns list of dicts with 'id' and 'score' keys."};

}  // namespace tarnexa::scoring
