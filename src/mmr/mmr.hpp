// Maximal marginal relevance selection and the row gathering it shares with scoring.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/views.hpp"

namespace tarnexa::mmr {

// A dense row-major float32 matrix owned by the call. Its storage starts uninitialised (the
// gather writes every element) and, when large, is backed by transparent huge pages where the
// system offers them, so that first touching it costs one page fault per 2 MiB, not per 4 KiB.
class DenseRows {
public:
    DenseRows(std::size_t rows, std::size_t cols);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    float* row(std::size_t i) noexcept { return values_.get() + i * cols_; }
    const float* row(std::size_t i) const noexcept { return values_.get() + i * cols_; }
    // Rows [first, first + count) as a view.
    MatrixView view(std::size_t first, std::size_t count) const noexcept {
        return {reinterpret_cast<const std::byte*>(row(first)), count, cols_,
                static_cast<std::ptrdiff_t>(cols_ * sizeof(float)), sizeof(float)};
    }
    MatrixView view() const noexcept { return view(0, rows_); }

private:
    struct Free {
        void operator()(float* p) const noexcept;
    };
    std::unique_ptr<float[], Free> values_;
    std::size_t rows_;
    std::size_t cols_;
};

// Copies the named rows in list order; an index not below the row count is the fault
// "assertion failed: index < dim". With first_similarities (rows.size() floats), also writes the
// dot product of every copied row with the first one, computed while the rows are still cached.
DenseRows gather_rows(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                      float* first_similarities = nullptr);

// (row index, mmr score) pairs in the order of choice.
using Selection = std::vector<std::pair<std::uint64_t, double>>;

// The candidate rows of a selection of k items: g from gather_rows, and the similarities of g's
// first row with every row, filled during the gather (empty when k <= 1 or g has one row: the
// selection never reads them then).
struct CandidateRows {
    DenseRows g;
    std::vector<float> first_similarities;
};
CandidateRows gather_candidates(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                             std::uint64_t k);

// The selection over gathered candidate rows: c.g's row i reports reported[i] and has relevance
// relevance[i]. Similarity rows are computed when a candidate is chosen (and only if a later
// choice reads them), so memory stays linear in the number of candidates.
Selection select_gathered(std::span<const std::uint64_t> reported, std::span<const double> relevance,
                 CandidateRows c, std::uint64_t k, double lambda);

Selection mmr_select(std::span<const std::uint64_t> candidates, const VecView<float>& similarities,
                     const MatrixView& matrix, std::uint64_t k, double lambda);

}  // namespace tarnexa::mmr
