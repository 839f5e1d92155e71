// AVX2 row kernel: 8 floats per register, four rows per pass (see run_streams), every query vector
// in the same pass so each matrix row is read once. Loads are unaligned; the last partial register
// of a row uses vmaskmovps, which never touches (or faults on) the masked-off bytes past the row.
#include <immintrin.h>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 8;
// Loading 8 ints at kTailMask + 8 - n gives a mask selecting the first n lanes.
alignas(64) constexpr int kTailMask[2 * kLanes] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   0,  0,  0,  0,  0,  0,  0,  0};

inline const float* as_floats(const std::byte* p) { return reinterpret_cast<const float*>(p); }

// Horizontal sum of the 8 lanes.
inline float reduce_add(__m256 s) {
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

struct Avx2 {
    template <int R, int NV, bool Prefetch>
    static void block(const std::byte* const* rows, const std::byte* const* ahead,
                      std::size_t cols, const float* const* vecs, float (*res)[kStreams]) {
        // A single vector alternates two accumulator sets to keep 2 * R FMA chains in flight.
        constexpr int U = NV == 1 ? 2 : 1;
        __m256 acc[U][R][NV];
        for (int u = 0; u < U; ++u)
            for (int r = 0; r < R; ++r)
                for (int v = 0; v < NV; ++v) acc[u][r][v] = _mm256_setzero_ps();

        auto prefetch = [&](std::size_t c) [[gnu::always_inline]] {
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r) __builtin_prefetch(ahead[r] + c * sizeof(float), 0, 3);
        };
        auto step = [&](std::size_t c, __m256 (*a)[NV]) [[gnu::always_inline]] {
            __m256 x[R];
            for (int r = 0; r < R; ++r) x[r] = _mm256_loadu_ps(as_floats(rows[r] + c * sizeof(float)));
            for (int v = 0; v < NV; ++v) {
                const __m256 w = _mm256_loadu_ps(vecs[v] + c);
                for (int r = 0; r < R; ++r) a[r][v] = _mm256_fmadd_ps(x[r], w, a[r][v]);
            }
        };

        // Two registers (one 64-byte line) of each row per iteration.
        std::size_t j = 0;
        for (; j + 2 * kLanes <= cols; j += 2 * kLanes) {
            prefetch(j);
            step(j, acc[0]);
            step(j + kLanes, acc[U - 1]);
        }
        if (j + kLanes <= cols) {
            prefetch(j);
            step(j, acc[0]);
            j += kLanes;
        }
        if (j < cols) {
            prefetch(j);
            // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
            const __m256i k = _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(kTailMask + kLanes - (cols - j)));
            __m256 x[R];
            for (int r = 0; r < R; ++r) x[r] = _mm256_maskload_ps(as_floats(rows[r] + j * sizeof(float)), k);
            for (int v = 0; v < NV; ++v) {
                const __m256 w = _mm256_maskload_ps(vecs[v] + j, k);
                for (int r = 0; r < R; ++r) acc[0][r][v] = _mm256_fmadd_ps(x[r], w, acc[0][r][v]);
            }
        }
        if constexpr (Prefetch)  // the last line of a row that does not end on a line boundary
            for (int r = 0; r < R; ++r) __builtin_prefetch(ahead[r] + (cols * sizeof(float) - 1), 0, 3);

        for (int r = 0; r < R; ++r) {
            for (int v = 0; v < NV; ++v) {
                __m256 s = acc[0][r][v];
                for (int u = 1; u < U; ++u) s = _mm256_add_ps(s, acc[u][r][v]);
                res[v][r] = reduce_add(s);
            }
        }
    }
};

}  // namespace

void dot_rows_avx2(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) {
    run_kernel<Avx2>(m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
