#include "mmr/mmr.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kernels/dot.hpp"

namespace tarnexa::mmr {
namespace {

// Buffers of at least kHugeBytes are aligned to and advised for 2 MiB pages; smaller ones to a
// cache line.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBytes = std::size_t{4} << 20;
constexpr std::size_t kLine = 64;

// Rows are copied kGatherChunk at a time, and a chunk's similarities to the first row computed
// while it is in L1/L2. Row i + kGatherAhead is prefetched while row i is copied.
constexpr std::size_t kGatherChunk = 64;
constexpr std::size_t kGatherAhead = 8;

// Uninitialised storage for rows x cols floats.
float* allocate_floats(std::size_t rows, std::size_t cols) {
    if (rows == 0 || cols == 0) return nullptr;
    if (rows > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(float) / cols)
        throw std::bad_alloc();
    const std::size_t bytes = rows * cols * sizeof(float);
    const std::size_t align = bytes >= kHugeBytes ? kHugePage : kLine;
    const std::size_t size = (bytes + align - 1) / align * align;
    void* p = std::aligned_alloc(align, size);
    if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (align == kHugePage) madvise(p, size, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return static_cast<float*>(p);
}

void prefetch_row(const MatrixView& matrix, std::uint64_t row) {
    if (row >= matrix.rows || matrix.col_stride != static_cast<std::ptrdiff_t>(sizeof(float))) return;
    const std::byte* p = matrix.data + static_cast<std::ptrdiff_t>(row) * matrix.row_stride;
    const std::size_t bytes = matrix.cols * sizeof(float);
    for (std::size_t off = 0; off < bytes; off += kLine) __builtin_prefetch(p + off, 0, 3);
}

}  // namespace

void DenseRows::Free::operator()(float* p) const noexcept { std::free(p); }

DenseRows::DenseRows(std::size_t rows, std::size_t cols)
    : values_(allocate_floats(rows, cols)), rows_(rows), cols_(cols) {}

DenseRows gather_rows(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                      float* first_similarities) {
    DenseRows g(rows.size(), matrix.cols);
    const std::size_t n = rows.size();
    const bool dense = matrix.col_stride == static_cast<std::ptrdiff_t>(sizeof(float));
    for (std::size_t i = 0; i < n && i < kGatherAhead; ++i) prefetch_row(matrix, rows[i]);
    for (std::size_t base = 0; base < n; base += kGatherChunk) {
        const std::size_t end = std::min(n, base + kGatherChunk);
        for (std::size_t i = base; i < end; ++i) {
            const std::uint64_t row = rows[i];
            if (row >= matrix.rows) fault("assertion failed: index < dim");
            if (i + kGatherAhead < n) prefetch_row(matrix, rows[i + kGatherAhead]);
            float* dst = g.row(i);
            const std::byte* src = matrix.data + static_cast<std::ptrdiff_t>(row) * matrix.row_stride;
            if (dense) {
                if (g.cols()) std::memcpy(dst, src, g.cols() * sizeof(float));
            } else {
                for (std::size_t c = 0; c < g.cols(); ++c) dst[c] = matrix.get(row, c);
            }
        }
        if (first_similarities) {
            const float* vec = g.row(0);
            float* out = first_similarities + base;
            kernels::dot_rows(g.view(base, end - base), nullptr, end - base, &vec, 1, &out);
        }
    }
    return g;
}

Candidates gather_candidates(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                             std::uint64_t k) {
    std::vector<float> first(k > 1 && rows.size() > 1 ? rows.size() : 0);
    DenseRows g = gather_rows(matrix, rows, first.empty() ? nullptr : first.data());
    return {std::move(g), std::move(first)};
}

Selection select(std::span<const std::uint64_t> reported, std::span<const double> relevance,
                 Candidates c, std::uint64_t k, double lambda) {
    Selection result;
    const std::size_t n = reported.size();
    if (n == 0) return result;
    result.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, std::max<std::uint64_t>(k, 1))));
    result.emplace_back(reported[0], relevance[0] * lambda);
    if (c.first_similarities.empty()) return result;  // k <= 1 or a single candidate

    constexpr double kNegInf = -std::numeric_limits<double>::infinity();
    std::vector<double> redundancy(n, kNegInf);
    std::vector<char> selected(n, 0);
    std::vector<float> sim = std::move(c.first_similarities);  // of the latest choice
    selected[0] = 1;
    const DenseRows& g = c.g;
    const double rest = 1.0 - lambda;
    for (std::uint64_t r = 1; r < k && result.size() < n; ++r) {
        // One pass raises every redundancy with the latest choice's similarities (a NaN leaves it
        // unchanged) and scores the unselected positions; the first strictly greatest wins.
        double best = kNegInf;
        std::size_t best_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double s = static_cast<double>(sim[i]);
            if (s > redundancy[i]) redundancy[i] = s;
            const double gain = relevance[i] * lambda;
            const double penalty = redundancy[i] * rest;
            const double score = selected[i] ? kNegInf : gain - penalty;
            if (score > best) {
                best = score;
                best_pos = i;
            }
        }
        if (best == kNegInf) break;
        result.emplace_back(reported[best_pos], best);
        selected[best_pos] = 1;
        if (r + 1 < k && result.size() < n) {  // a later choice reads its similarities
            const float* vec = g.row(best_pos);
            float* dst = sim.data();
            kernels::dot_rows(g.view(), nullptr, n, &vec, 1, &dst);
        }
    }
    return result;
}

Selection mmr_select(std::span<const std::uint64_t> candidates, const VecView<float>& similarities,
                     const MatrixView& matrix, std::uint64_t k, double lambda) {
    if (candidates.empty()) return {};
    Candidates c = gather_candidates(matrix, candidates, k);
    std::vector<double> relevance(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        check_index(candidates[i], similarities.size());
        relevance[i] = static_cast<double>(similarities.get(candidates[i]));
    }
    return select(candidates, relevance, std::move(c), k, lambda);
}

}  // namespace tarnexa::mmr
