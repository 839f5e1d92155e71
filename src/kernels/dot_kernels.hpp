// Per-instruction-set row kernels behind dot_rows and the row addressing they share.
// Internal to src/kernels.
//
// Every kernel has the contract of dot_rows restricted to what the dispatcher guarantees:
//   m.col_stride == sizeof(float) (rows are contiguous; row_stride and data alignment are free),
//   m.cols >= 1, count >= 1, 1 <= nvec <= 3.
//
// The *_avx2.cpp / *_avx512.cpp files are compiled for their instruction set. Code they share
// with the rest of the program must not be emitted there as an inline or template function with
// external linkage: the linker could keep that copy for every caller and run AVX-512 code on a CPU
// without it. Kernel files therefore keep their helpers in an unnamed namespace (as the helpers in
// this header and in dot_simd.hpp are), call no out-of-line library templates and no inline member
// of MatrixView; only the kernel entry points below are exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/dot.hpp"
#include "kernels/prefetch.hpp"

// Forces a lambda's call operator inline. GCC takes the standard attribute after the parameter
// list as applying to the operator; clang reads it there as a type attribute and ignores it, but
// honours the GNU spelling.
#if defined(__clang__)
#define TARNEXA_LAMBDA_INLINE __attribute__((always_inline))
#else
#define TARNEXA_LAMBDA_INLINE [[gnu::always_inline]]
#endif

namespace tarnexa::kernels {

using DotKernel = void (*)(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                           const float* const* vecs, std::size_t nvec, float* const* out);

void dot_rows_portable(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                       const float* const* vecs, std::size_t nvec, float* const* out);
#if TARNEXA_KERNELS_X86
void dot_rows_avx2(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out);
void dot_rows_avx512(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                     const float* const* vecs, std::size_t nvec, float* const* out);
#endif
#if TARNEXA_KERNELS_NEON
void dot_rows_neon(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out);
#endif

namespace {

// Address of the row read for output i.
inline const std::byte* row_at(const MatrixView& m, const std::uint64_t* row_index, std::size_t i) {
    const std::size_t r = row_index ? static_cast<std::size_t>(row_index[i]) : i;
    return m.data + static_cast<std::ptrdiff_t>(r) * m.row_stride;
}

}  // namespace

}  // namespace tarnexa::kernels
