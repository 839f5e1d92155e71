// Per-instruction-set row kernels behind dot_rows, and the pass schedule the SIMD ones share.
// Internal to src/scoring/kernels.
//
// Every kernel has the contract of dot_rows restricted to what the dispatcher guarantees:
//   m.col_stride == sizeof(float) (rows are contiguous; row_stride and data alignment are free),
//   m.cols >= 1, count >= 1, 1 <= nvec <= 3.
//
// The *_avx2.cpp / *_avx512.cpp files are compiled for their instruction set. Code they share with
// the rest of the program must not be emitted there as an inline or template function with
// external linkage: the linker could keep that copy for every caller and run AVX-512 code on a CPU
// without it. Kernel files therefore keep their helpers in an unnamed namespace (as the helpers in
// this header are) and call no out-of-line library templates; only the kernel entry points below
// are exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scoring/kernels/dot.hpp"

// Forces a lambda's call operator inline. GCC takes the standard attribute after the parameter
// list as applying to the operator; clang reads it as a type attribute and ignores it, but honours
// the GNU spelling there.
#if defined(__clang__)
#define TARNEXA_LAMBDA_INLINE __attribute__((always_inline))
#else
#define TARNEXA_LAMBDA_INLINE [[gnu::always_inline]]
#endif

namespace tarnexa::kernels {

using DotKernel = void (*)(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                           const float* const* vecs, std::size_t nvec, float* const* out);

void dot_rows_portable(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                       const float* const* vecs, std::size_t nvec, float* const* out);
void dot_rows_avx2(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out);
void dot_rows_avx512(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                     const float* const* vecs, std::size_t nvec, float* const* out);

namespace {

// Address of the row read for output i.
inline const std::byte* row_at(const RowsView& m, const std::uint64_t* row_index, std::size_t i) {
    const std::size_t r = row_index ? static_cast<std::size_t>(row_index[i]) : i;
    return m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride;
}

// Requests every cache line of a row of `bytes` bytes (bytes >= 1), with the given locality hint.
// Prefetch helpers are forced inline: GCC deems a function that only prefetches free of effects
// and deletes calls to it.
template <int Locality = 3>
[[gnu::always_inline]] inline void prefetch_row(const std::byte* row, std::size_t bytes) {
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(row + off, 0, Locality);
    __builtin_prefetch(row + (bytes - 1), 0, Locality);  // last line of a row not line-aligned
}

// Pass schedule of the SIMD kernels. The outputs are split into S equal stretches (S = the
// kernel's rows per pass) that are walked side by side, one row of each per pass, so a pass scores
// S rows against every vector (each vector load serves S rows) while, for row_index == nullptr,
// each stretch is one linear sweep through memory that the hardware prefetchers follow. (Taking S
// adjacent rows per pass instead reads a dense matrix at well under half the bandwidth: the
// prefetchers see short streams that keep restarting.) Sequential rows get no software prefetch:
// requests a row or more ahead in each stretch slowed a large matrix by 15-60%, the more so the
// more vectors are scored.
//
// Gathered rows are prefetched kGatherPrefetchRows rows (a whole number of passes) ahead, one
// request per line interleaved with the loads of the current pass, into L2 rather than L1: a
// request for L1 holds one of L1's few miss buffers until the line arrives, which limits how many
// rows are in flight; L2-bound requests let about 1.5x as many random rows arrive per second.
//
// K provides
//   template <int NV> static constexpr std::size_t kRows;  // S, from 2 to 4
//   template <int R, int NV, bool Prefetch>
//   static void block(const std::byte* const* rows, const std::byte* const* ahead,
//                     std::size_t cols, const float* const* vecs, float* const* out,
//                     std::size_t i, std::size_t step);
// setting out[v][i + r * step] = dot(rows[r], vecs[v]) for r < R <= S, v < NV, and if Prefetch,
// prefetching the rows ahead[0..R) (with kGatherLocality) while it reads.
constexpr std::size_t kGatherPrefetchRows = 16;
constexpr int kGatherLocality = 2;  // prefetcht1: into L2

// The last count % S rows (1 <= rest < S <= 4), scored in one pass.
template <class K, int NV>
[[gnu::noinline]] void run_rest(const RowsView& m, const std::uint64_t* row_index,
                                std::size_t first, std::size_t rest, const float* const* vecs,
                                float* const* out) {
    constexpr std::size_t S = K::template kRows<NV>;
    static_assert(S >= 2 && S <= 4);
    const std::byte* rows[S - 1];
    for (std::size_t r = 0; r < rest; ++r) rows[r] = row_at(m, row_index, first + r);
    if (rest == 1) {
        K::template block<1, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
    } else if constexpr (S > 2) {
        if (rest == 2)
            K::template block<2, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
        else if constexpr (S > 3)
            K::template block<3, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
    }
}

template <class K, int NV>
void run_streams(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                 const float* const* vecs, float* const* out) {
    constexpr std::size_t S = K::template kRows<NV>;
    const std::size_t passes = count / S;
    const std::size_t ahead_passes = row_index ? (kGatherPrefetchRows + S - 1) / S : 0;
    const std::byte* rows[S];
    const std::byte* ahead[S];

    // With gathered rows, the first ahead_passes passes are requested up front and each later one
    // by the pass ahead_passes before it: passes [0, prefetching) prefetch.
    const std::size_t warm = ahead_passes < passes ? ahead_passes : passes;
    for (std::size_t t = 0; t < warm; ++t)
        for (std::size_t r = 0; r < S; ++r)
            prefetch_row<kGatherLocality>(row_at(m, row_index, t + r * passes),
                                          m.cols * sizeof(float));
    const std::size_t prefetching = ahead_passes ? passes - warm : 0;

    std::size_t t = 0;
    for (; t < prefetching; ++t) {
        for (std::size_t r = 0; r < S; ++r) {
            rows[r] = row_at(m, row_index, t + r * passes);
            ahead[r] = row_at(m, row_index, t + ahead_passes + r * passes);
        }
        K::template block<S, NV, true>(rows, ahead, m.cols, vecs, out, t, passes);
    }
    for (; t < passes; ++t) {
        for (std::size_t r = 0; r < S; ++r) rows[r] = row_at(m, row_index, t + r * passes);
        K::template block<S, NV, false>(rows, rows, m.cols, vecs, out, t, passes);
    }
    if (count > passes * S)
        run_rest<K, NV>(m, row_index, passes * S, count - passes * S, vecs, out);
}

// Entry point shape shared by the kernels: nvec in 1..3 picks the instantiation.
template <class K>
void run_kernel(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                const float* const* vecs, std::size_t nvec, float* const* out) {
    switch (nvec) {
        case 1: run_streams<K, 1>(m, row_index, count, vecs, out); break;
        case 2: run_streams<K, 2>(m, row_index, count, vecs, out); break;
        default: run_streams<K, 3>(m, row_index, count, vecs, out); break;
    }
}

}  // namespace

}  // namespace tarnexa::kernels
