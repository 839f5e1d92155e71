// Maximal marginal relevance selection and the row gathering it shares with scoring.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/views.hpp"

namespace tarnexa::mmr {

// A dense row-major float32 matrix owned by the call.
struct DenseRows {
    std::vector<float> values;
    std::size_t rows = 0;
    std::size_t cols = 0;
    MatrixView view() const noexcept {
        return {reinterpret_cast<const std::byte*>(values.data()), rows, cols,
                static_cast<std::ptrdiff_t>(cols * sizeof(float)), sizeof(float)};
    }
};

// Copies the named rows in list order; an index not below the row count is the fault
// "assertion failed: index < dim".
DenseRows gather_rows(const MatrixView& matrix, std::span<const std::uint64_t> rows);

// (row index, mmr score) pairs in the order of choice.
using Selection = std::vector<std::pair<std::uint64_t, double>>;

// The selection over gathered candidate rows: g's row i belongs to candidates[i], whose
// relevance is relevance[i]. Similarity rows are computed when a candidate is chosen, so
// memory stays linear in the number of candidates.
Selection select(std::span<const std::uint64_t> candidates, std::span<const double> relevance,
                 const DenseRows& g, std::uint64_t k, double lambda);

Selection mmr_select(std::span<const std::uint64_t> candidates, const VecView<float>& similarities,
                     const MatrixView& matrix, std::uint64_t k, double lambda);

}  // namespace tarnexa::mmr
