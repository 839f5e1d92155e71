// Run-time kernel selection and the strided-column path shared by every kernel.
#include <cstring>

#include "kernels/dot.hpp"
#include "kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

// Most vectors one kernel call reads in its pass over the matrix.
constexpr std::size_t kMaxPassVecs = 3;

// Strided columns are copied into a dense tile of at most kTileFloats (16 KiB, cache resident):
// up to kTileMaxCols columns of up to kTileMaxRows rows at a time. Longer rows are scored in column
// chunks whose partial dots are summed.
constexpr std::size_t kTileFloats = 4096;
constexpr std::size_t kTileMaxCols = 1024;
constexpr std::size_t kTileMaxRows = 256;

DotKernel kernel_for(Isa isa) noexcept {
    if (!isa_supported(isa)) isa = best_isa();
    switch (isa) {
#if TARNEXA_KERNELS_X86
        case Isa::avx512: return &dot_rows_avx512;
        case Isa::avx2: return &dot_rows_avx2;
#endif
#if TARNEXA_KERNELS_NEON
        case Isa::neon: return &dot_rows_neon;
#endif
        default: return &dot_rows_portable;
    }
}

// Scores rows whose columns are not 4 bytes apart: each block of rows is copied element by element
// into a dense tile, which the contiguous kernel then reads.
void dot_strided(DotKernel kernel, const MatrixView& m, const std::uint64_t* row_index,
                 std::size_t count, const float* const* vecs, std::size_t nvec, float* const* out) {
    alignas(64) float tile[kTileFloats];
    alignas(64) float partial[kMaxPassVecs][kTileMaxRows];

    const std::size_t chunk = m.cols < kTileMaxCols ? m.cols : kTileMaxCols;
    const std::size_t block = kTileFloats / chunk < kTileMaxRows ? kTileFloats / chunk : kTileMaxRows;
    const std::ptrdiff_t cs = m.col_stride;

    for (std::size_t i0 = 0; i0 < count; i0 += block) {
        const std::size_t nrows = count - i0 < block ? count - i0 : block;
        for (std::size_t c0 = 0; c0 < m.cols; c0 += chunk) {
            const std::size_t ncols = m.cols - c0 < chunk ? m.cols - c0 : chunk;
            for (std::size_t r = 0; r < nrows; ++r) {
                const std::size_t row = row_index ? static_cast<std::size_t>(row_index[i0 + r]) : i0 + r;
                // One offset per element, added to data once, so no out-of-range pointer is formed.
                std::ptrdiff_t off = static_cast<std::ptrdiff_t>(row) * m.row_stride +
                                     static_cast<std::ptrdiff_t>(c0) * cs;
                float* dst = tile + r * ncols;
                for (std::size_t c = 0; c < ncols; ++c, off += cs)
                    std::memcpy(dst + c, m.data + off, sizeof(float));
            }

            const MatrixView dense{reinterpret_cast<const std::byte*>(tile), nrows, ncols,
                                   static_cast<std::ptrdiff_t>(ncols * sizeof(float)),
                                   static_cast<std::ptrdiff_t>(sizeof(float))};
            const float* chunk_vecs[kMaxPassVecs];
            float* chunk_out[kMaxPassVecs];
            for (std::size_t v = 0; v < nvec; ++v) {
                chunk_vecs[v] = vecs[v] + c0;
                chunk_out[v] = c0 == 0 ? out[v] + i0 : partial[v];
            }
            kernel(dense, nullptr, nrows, chunk_vecs, nvec, chunk_out);
            if (c0 != 0) {
                for (std::size_t v = 0; v < nvec; ++v)
                    for (std::size_t r = 0; r < nrows; ++r) out[v][i0 + r] += partial[v][r];
            }
        }
    }
}

void dot_dispatch(DotKernel kernel, const MatrixView& m, const std::uint64_t* row_index,
                  std::size_t count, const float* const* vecs, std::size_t nvec,
                  float* const* out) noexcept {
    if (count == 0) return;
    for (std::size_t v0 = 0; v0 < nvec; v0 += kMaxPassVecs) {
        const std::size_t n = nvec - v0 < kMaxPassVecs ? nvec - v0 : kMaxPassVecs;
        if (m.cols == 0) {
            for (std::size_t v = v0; v < v0 + n; ++v)
                for (std::size_t i = 0; i < count; ++i) out[v][i] = 0.0f;
        } else if (m.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
            kernel(m, row_index, count, vecs + v0, n, out + v0);
        } else {
            dot_strided(kernel, m, row_index, count, vecs + v0, n, out + v0);
        }
    }
}

}  // namespace

Isa best_isa() noexcept {
    static const Isa isa = [] {
        Isa best = Isa::portable;
        for (Isa i : kDotKernels)
            if (cpu_runs(i)) best = i;
        return best;
    }();
    return isa;
}

bool isa_supported(Isa isa) noexcept {
    for (Isa i : kDotKernels)
        if (i == isa) return cpu_runs(isa);
    return false;
}

void dot_rows(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
              const float* const* vecs, std::size_t nvec, float* const* out) noexcept {
    static const DotKernel kernel = kernel_for(best_isa());
    dot_dispatch(kernel, m, row_index, count, vecs, nvec, out);
}

void dot_rows_with(Isa isa, const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) noexcept {
    dot_dispatch(kernel_for(isa), m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
