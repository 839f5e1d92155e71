// Integer dot products of int8 row codes with int8 query codes, exact in int32 on every kernel:
// the scan of the int8 copy of a cache. A leaf of the kernel library like dot.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/dot.hpp"

namespace tarnexa::kernels {

// Query codes are read in whole blocks of this many bytes: a query code vector holds
// int8_padded(cols) bytes, zero past cols.
constexpr std::size_t kInt8Block = 64;
constexpr std::size_t int8_padded(std::size_t cols) noexcept {
    return (cols + kInt8Block - 1) / kInt8Block * kInt8Block;
}
// Query code vectors scored in one pass over the rows (three vectors at two levels each).
constexpr std::size_t kInt8MaxVecs = 6;

// For i in [0, count), v < nq: out[v][i] = sum over j < cols of codes[i * stride + j] * q[v][j].
// Row codes lie in [-127, 127] (the value -128 is never stored); query codes in [-127, 127].
// The sums are exact (|sum| < 2^31 for cols below 2^17), so every kernel gives the same values.
// Never allocates, never throws.
void int8_dot_rows(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                   const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out) noexcept;

// The same for listed rows: out[v][i] = the sum for row rows[i] (codes + rows[i] * stride).
void int8_dot_listed(const std::int8_t* codes, std::size_t stride, std::size_t cols, const std::size_t* rows,
                     std::size_t count, const std::int8_t* const* q, std::size_t nq,
                     std::int32_t* const* out) noexcept;

// int8_dot_rows for any number of query vectors, faster than it when there are many: on the
// kernels where it pays (and from as many vectors as it does), runs of rows are interleaved in
// `scratch` (int8_many_scratch(cols, nq) bytes, best aligned to 64) so that one load of their
// codes serves several vectors and no lane sums are reduced; otherwise the row kernel runs, two
// vectors a pass. The same exact sums as int8_dot_rows. Never allocates, never throws.
constexpr std::size_t kInt8ManyGroupBytes = 64;  // per column of the codes, as interleaved
constexpr std::size_t int8_many_scratch(std::size_t cols, std::size_t nq) noexcept {
    return kInt8ManyGroupBytes * (int8_padded(cols) + kInt8Block) + nq * sizeof(std::int32_t);
}
void int8_dot_many(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                   const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) noexcept;

// Every int8 kernel; those one CPU runs come in this order from the least to the best.
// avx512_vnni multiplies with AVX-512 VNNI (vpdpbusd), avx2 into 16-bit pair sums widened after
// (vpmaddubsw, vpmaddwd), neon_sdot with the ARMv8.2 dot product (sdot), neon widening to 16 bits
// (vmull_s8); portable runs anywhere.
constexpr Isa kInt8Kernels[] = {Isa::portable, Isa::avx2, Isa::avx512_vnni, Isa::neon, Isa::neon_sdot};
// The int8 kernel on this CPU: the best of kInt8Kernels it runs, chosen once.
Isa int8_best_isa() noexcept;
// True when `isa` has an int8 kernel and this CPU runs it.
bool int8_isa_supported(Isa isa) noexcept;
// int8_dot_rows (int8_dot_listed with rows) on one kernel, for tests and benchmarks; an
// unsupported isa falls back to the best.
void int8_dot_rows_with(Isa isa, const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out, const std::size_t* rows = nullptr) noexcept;
// int8_dot_many's interleaving kernel for `isa` (whatever the number of vectors), the same way.
void int8_dot_many_with(Isa isa, const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                        const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) noexcept;

}  // namespace tarnexa::kernels
