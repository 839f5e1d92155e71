// Per-instruction-set row kernels behind dot_rows. Internal to src/scoring/kernels.
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

// Gathered rows are prefetched this many rows ahead of the one being read.
constexpr std::size_t kPrefetchRows = 8;
// At most this many leading bytes of a row are prefetched; the hardware streams the rest.
constexpr std::size_t kPrefetchMaxBytes = 4096;

// Address of the row read for output i.
inline const std::byte* row_at(const RowsView& m, const std::uint64_t* row_index, std::size_t i) {
    const std::size_t r = row_index ? static_cast<std::size_t>(row_index[i]) : i;
    return m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride;
}

// Requests every cache line of the row's first `bytes` bytes (bytes >= 1).
inline void prefetch_row(const std::byte* row, std::size_t bytes) {
    if (bytes > kPrefetchMaxBytes) bytes = kPrefetchMaxBytes;
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(row + off, 0, 3);
    __builtin_prefetch(row + (bytes - 1), 0, 3);  // last line when the row is not line-aligned
}

// Prefetches the gathered rows that output block [begin, end) will read, clipped to count.
inline void prefetch_rows(const RowsView& m, const std::uint64_t* row_index, std::size_t begin,
                          std::size_t end, std::size_t count) {
    if (end > count) end = count;
    for (std::size_t p = begin; p < end; ++p)
        prefetch_row(row_at(m, row_index, p), m.cols * sizeof(float));
}

}  // namespace

}  // namespace tarnexa::kernels
