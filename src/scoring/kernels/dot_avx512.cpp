// AVX-512 row kernel: 16 floats per register, four rows per pass (see run_streams), every query
// vector in the same pass so each matrix row is read once. Loads are unaligned; the last partial
// register of a row uses masked loads, which never touch the bytes past the row.
#include <immintrin.h>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 16;

// Horizontal sum of the 16 lanes. The zero-masking extract with every lane selected is a plain
// extract; GCC 12's unmasked 512-to-256 intrinsics raise spurious uninitialised-value warnings.
inline float reduce_add(__m512 s) {
    const __m256 h = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, s, 0),
                                   _mm512_maskz_extractf32x8_ps(0xFF, s, 1));
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

struct Avx512 {
    // Unrolling two column blocks for a single vector keeps 2 * R FMA chains in flight.
    template <int R, int NV, bool Prefetch>
    static void block(const std::byte* const* rows, const std::byte* const* ahead,
                      std::size_t cols, const float* const* vecs, float (*res)[kStreams]) {
        constexpr int U = NV == 1 ? 2 : 1;
        __m512 acc[U][R][NV];
        for (int u = 0; u < U; ++u)
            for (int r = 0; r < R; ++r)
                for (int v = 0; v < NV; ++v) acc[u][r][v] = _mm512_setzero_ps();

        // One register of each row per step: 64 bytes, so one prefetch per row and step.
        auto step = [&](std::size_t c, __m512 (*a)[NV]) [[gnu::always_inline]] {
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r) __builtin_prefetch(ahead[r] + c * sizeof(float), 0, 3);
            __m512 x[R];
            for (int r = 0; r < R; ++r) {
                __m512 t = _mm512_loadu_ps(rows[r] + c * sizeof(float));
                // Keep the row in a register: GCC would otherwise fold this load into each of the
                // NV FMAs that use it, and the repeated loads, not the FMAs, would set the pace.
                if constexpr (NV > 1) __asm__("" : "+v"(t));
                x[r] = t;
            }
            for (int v = 0; v < NV; ++v) {
                const __m512 w = _mm512_loadu_ps(vecs[v] + c);
                for (int r = 0; r < R; ++r) a[r][v] = _mm512_fmadd_ps(x[r], w, a[r][v]);
            }
        };

        std::size_t j = 0;
        for (; j + U * kLanes <= cols; j += U * kLanes)
            for (int u = 0; u < U; ++u) step(j + u * kLanes, acc[u]);
        if constexpr (U > 1)
            for (; j + kLanes <= cols; j += kLanes) step(j, acc[0]);
        if (j < cols) {
            // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
            const __mmask16 k = static_cast<__mmask16>((1u << (cols - j)) - 1u);
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r) __builtin_prefetch(ahead[r] + j * sizeof(float), 0, 3);
            __m512 x[R];
            for (int r = 0; r < R; ++r) x[r] = _mm512_maskz_loadu_ps(k, rows[r] + j * sizeof(float));
            for (int v = 0; v < NV; ++v) {
                const __m512 w = _mm512_maskz_loadu_ps(k, vecs[v] + j);
                for (int r = 0; r < R; ++r) acc[0][r][v] = _mm512_fmadd_ps(x[r], w, acc[0][r][v]);
            }
        }
        if constexpr (Prefetch)  // the last line of a row that does not end on a line boundary
            for (int r = 0; r < R; ++r) __builtin_prefetch(ahead[r] + (cols * sizeof(float) - 1), 0, 3);

        for (int r = 0; r < R; ++r) {
            for (int v = 0; v < NV; ++v) {
                __m512 s = acc[0][r][v];
                for (int u = 1; u < U; ++u) s = _mm512_add_ps(s, acc[u][r][v]);
                res[v][r] = reduce_add(s);
            }
        }
    }
};

}  // namespace

void dot_rows_avx512(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                     const float* const* vecs, std::size_t nvec, float* const* out) {
    run_kernel<Avx512>(m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
