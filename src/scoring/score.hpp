// The score_candidates pipeline over plain views: query preparation, the similarity scan
// with its modulations, the candidate pool and the final choice (plain or diverse).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/views.hpp"
#include "scoring/parameters.hpp"

namespace tarnexa::scoring {

struct Request {
    MatrixView matrix;
    std::size_t n_ids = 0;  // length of the ids list
    VecView<float> query;
    std::optional<VecView<double>> timestamps;
    std::optional<std::vector<std::uint64_t>> pre_filter_rows;  // rows of the known pre-filter ids
    std::optional<VecView<float>> not_like;
    bool diverse = kParameters[kDiverse].flag_default();
    std::uint64_t limit = kParameters[kLimit].count_default();
    std::uint64_t oversample = kParameters[kOversample].count_default();
    float threshold = static_cast<float>(kParameters[kThreshold].real_default());
    double mmr_lambda = kParameters[kMmrLambda].real_default();
    bool recent = kParameters[kRecent].flag_default();
    std::optional<double> recent_days;
    std::optional<std::vector<std::uint64_t>> like_rows;  // rows of the known like ids
    std::optional<VecView<float>> traj_from;
    std::optional<VecView<float>> traj_to;
    std::optional<BoolView> mask;
    double (*clock)() = nullptr;  // seconds since the Unix epoch; the system clock when null
};

// One reported document: its index in the ids list and its score, rounded to four decimals.
struct Hit {
    std::uint64_t id_index;
    double score;
};

struct Outcome {
    bool dimension_mismatch = false;  // the query's length differs from the matrix's columns
    std::size_t query_len = 0;
    std::size_t dims = 0;
    std::vector<Hit> hits;
};

Outcome score_candidates(const Request& request);

// What score_candidates returns for a request whose query is not as wide as the matrix (given
// ids), known before anything is computed; nullopt for any other request.
std::optional<Outcome> mismatched(const Request& request);

// round(x * 10000) / 10000 with halves away from zero, in float64.
double round4(double x) noexcept;

}  // namespace tarnexa::scoring
