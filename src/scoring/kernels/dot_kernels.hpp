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

// Requests every cache line of a row of `bytes` bytes (bytes >= 1). Prefetch helpers are forced
// inline: GCC deems a function that only prefetches free of effects and deletes calls to it.
[[gnu::always_inline]] inline void prefetch_row(const std::byte* row, std::size_t bytes) {
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(row + off, 0, 3);
    __builtin_prefetch(row + (bytes - 1), 0, 3);  // last line when the row is not line-aligned
}

// Pass schedule of the SIMD kernels. The outputs are split into kStreams equal stretches that are
// walked side by side, one row of each per pass, so a pass still scores kStreams rows against
// every vector (each vector load serves kStreams rows) while, for row_index == nullptr, each
// stretch is one linear sweep through memory that the hardware prefetchers follow. (Taking
// kStreams adjacent rows per pass instead reads a dense matrix at well under half the bandwidth:
// the prefetchers see short streams that keep restarting.) Gathered rows are prefetched by software
// kPrefetchPasses passes ahead, interleaved with the loads of the current pass.
//
// K provides
//   template <int R, int NV, bool Prefetch>
//   static void block(const std::byte* const* rows, const std::byte* const* ahead, std::size_t cols,
//                     const float* const* vecs, float (*res)[kStreams]);
// setting res[v][r] = dot(rows[r], vecs[v]) for r < R, v < NV, and if Prefetch, prefetching the
// rows ahead[0..R) while it reads.
constexpr std::size_t kStreams = 4;
constexpr std::size_t kPrefetchPasses = 4;

template <class K, int NV>
void run_streams(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                 const float* const* vecs, float* const* out) {
    const std::size_t passes = count / kStreams;
    const std::byte* rows[kStreams];
    const std::byte* ahead[kStreams] = {};
    float res[NV][kStreams];

    if (row_index) {
        for (std::size_t t = 0; t < passes && t < kPrefetchPasses; ++t)
            for (std::size_t r = 0; r < kStreams; ++r)
                prefetch_row(row_at(m, row_index, t + r * passes), m.cols * sizeof(float));
    }
    for (std::size_t t = 0; t < passes; ++t) {
        for (std::size_t r = 0; r < kStreams; ++r) rows[r] = row_at(m, row_index, t + r * passes);
        if (row_index && t + kPrefetchPasses < passes) {
            for (std::size_t r = 0; r < kStreams; ++r)
                ahead[r] = row_at(m, row_index, t + kPrefetchPasses + r * passes);
            K::template block<kStreams, NV, true>(rows, ahead, m.cols, vecs, res);
        } else {
            K::template block<kStreams, NV, false>(rows, ahead, m.cols, vecs, res);
        }
        for (int v = 0; v < NV; ++v)
            for (std::size_t r = 0; r < kStreams; ++r) out[v][t + r * passes] = res[v][r];
    }
    for (std::size_t i = passes * kStreams; i < count; ++i) {
        rows[0] = row_at(m, row_index, i);
        K::template block<1, NV, false>(rows, ahead, m.cols, vecs, res);
        for (int v = 0; v < NV; ++v) out[v][i] = res[v][0];
    }
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
