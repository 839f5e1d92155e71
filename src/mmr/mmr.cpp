#include "mmr/mmr.hpp"

#include <cstring>
#include <limits>

#include "kernels/dot.hpp"

namespace tarnexa::mmr {

DenseRows gather_rows(const MatrixView& matrix, std::span<const std::uint64_t> rows) {
    DenseRows g;
    g.rows = rows.size();
    g.cols = matrix.cols;
    g.values.resize(g.rows * g.cols);
    float* dst = g.values.data();
    for (std::uint64_t row : rows) {
        if (row >= matrix.rows) fault("assertion failed: index < dim");
        const std::byte* src = matrix.data + static_cast<std::ptrdiff_t>(row) * matrix.row_stride;
        if (matrix.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
            if (g.cols) std::memcpy(dst, src, g.cols * sizeof(float));
        } else {
            for (std::size_t c = 0; c < g.cols; ++c) dst[c] = matrix.get(row, c);
        }
        dst += g.cols;
    }
    return g;
}

namespace {

// redundancy[j] = max(redundancy[j], sim[j]); a NaN similarity leaves it unchanged.
void raise_redundancy(std::vector<double>& redundancy, const std::vector<float>& sim) {
    for (std::size_t j = 0; j < redundancy.size(); ++j) {
        const double s = static_cast<double>(sim[j]);
        if (s > redundancy[j]) redundancy[j] = s;
    }
}

// The similarities of gathered row p with every gathered row.
void similarity_row(const DenseRows& g, std::size_t p, std::vector<float>& out) {
    const float* vec = g.values.data() + p * g.cols;
    float* dst = out.data();
    kernels::dot_rows(g.view(), nullptr, g.rows, &vec, 1, &dst);
}

}  // namespace

Selection select(std::span<const std::uint64_t> candidates, std::span<const double> relevance,
                 const DenseRows& g, std::uint64_t k, double lambda) {
    Selection result;
    const std::size_t n = candidates.size();
    if (n == 0) return result;
    constexpr double kNegInf = -std::numeric_limits<double>::infinity();
    std::vector<double> redundancy(n, kNegInf);
    std::vector<char> selected(n, 0);
    std::vector<float> sim(n);

    result.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, std::max<std::uint64_t>(k, 1))));
    result.emplace_back(candidates[0], relevance[0] * lambda);
    selected[0] = 1;
    similarity_row(g, 0, sim);
    raise_redundancy(redundancy, sim);

    const double rest = 1.0 - lambda;
    std::size_t chosen = 1;
    for (std::uint64_t r = 1; r < k; ++r) {
        if (chosen == n) break;
        double best = kNegInf;
        std::size_t best_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (selected[i]) continue;
            const double gain = relevance[i] * lambda;
            const double penalty = redundancy[i] * rest;
            const double score = gain - penalty;
            if (score > best) {
                best = score;
                best_pos = i;
            }
        }
        if (best == kNegInf) break;
        result.emplace_back(candidates[best_pos], best);
        selected[best_pos] = 1;
        ++chosen;
        similarity_row(g, best_pos, sim);
        raise_redundancy(redundancy, sim);
    }
    return result;
}

Selection mmr_select(std::span<const std::uint64_t> candidates, const VecView<float>& similarities,
                     const MatrixView& matrix, std::uint64_t k, double lambda) {
    if (candidates.empty()) return {};
    DenseRows g = gather_rows(matrix, candidates);
    std::vector<double> relevance(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        check_index(candidates[i], similarities.size());
        relevance[i] = static_cast<double>(similarities.get(candidates[i]));
    }
    return select(candidates, relevance, g, k, lambda);
}

}  // namespace tarnexa::mmr
