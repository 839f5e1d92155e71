// Float32 dot products of matrix rows with up to three query vectors, dispatched at run time to
// the widest instruction set the CPU offers. The kernels are a leaf library: they depend only on
// the plain MatrixView record, so any strided float32 buffer (a NumPy array read in place, for
// example) can be scored without a copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/matrix_view.hpp"
#include "kernels/cpu.hpp"

namespace tarnexa::kernels {

// For i in [0, count): r = row_index ? row_index[i] : i; out[v][i] = dot(row r, vecs[v]) for
// v < nvec, accumulated in float32 (NaN and infinities propagate as IEEE arithmetic says; an empty
// row gives +0.0f). The order of accumulation depends only on the kernel, m.cols and the number of
// vectors in the pass: a row gives the same bits wherever it sits in a call and however many rows
// the call scores.
//
// Preconditions: every r < m.rows (not checked); vecs[v] holds m.cols floats; out[v] holds count
// floats and overlaps neither the matrix nor the vectors. nvec is normally 1..3, the number read in
// one pass over the matrix; a larger nvec is served in passes of three, nvec == 0 does nothing.
//
// Never allocates and never throws; safe to call concurrently from several threads.
void dot_rows(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
              const float* const* vecs, std::size_t nvec, float* const* out) noexcept;

// Every float32 kernel; those one CPU runs come in this order from the least to the best.
constexpr Isa kDotKernels[] = {Isa::portable, Isa::avx2, Isa::avx512, Isa::neon};

// The kernel dot_rows uses on this CPU: the best of kDotKernels it runs (isa_needs says what each
// needs), chosen once.
Isa best_isa() noexcept;
// True when `isa` has a float32 kernel and this CPU runs it.
bool isa_supported(Isa isa) noexcept;

// dot_rows forced onto one kernel, for tests and benchmarks. An isa this CPU cannot run
// (isa_supported(isa) is false) falls back to best_isa() rather than faulting.
void dot_rows_with(Isa isa, const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) noexcept;

}  // namespace tarnexa::kernels
