// AVX2 row kernel: 8 floats per register, several rows per pass (see run_streams), every query
// vector in the same pass so each matrix row is read once. Loads are unaligned; the last partial
// register of a row uses vmaskmovps, which never touches (or faults on) the masked-off bytes past
// the row.
#include <immintrin.h>

#include <type_traits>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 8;
// Loading 8 ints at kTailMask + 8 - n gives a mask selecting the first n lanes.
alignas(64) constexpr int kTailMask[2 * kLanes] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   0,  0,  0,  0,  0,  0,  0,  0};

inline const float* as_floats(const std::byte* p) { return reinterpret_cast<const float*>(p); }

// The sum of a's 8 lanes.
inline float sum1(__m256 a) {
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

// Lane k of the result holds the sum of a[k]'s 8 lanes. The four registers are folded together,
// halves onto halves, in about half the instructions of four separate sums.
inline __m128 sum4(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
    // t01 = a0's low + high half, then a1's; t23 likewise.
    const __m256 t01 =
        _mm256_add_ps(_mm256_permute2f128_ps(a0, a1, 0x20), _mm256_permute2f128_ps(a0, a1, 0x31));
    const __m256 t23 =
        _mm256_add_ps(_mm256_permute2f128_ps(a2, a3, 0x20), _mm256_permute2f128_ps(a2, a3, 0x31));
    // Low half of p: two partial sums each of a0 and a2, interleaved; high half: of a1 and a3.
    __m256 p = _mm256_add_ps(_mm256_unpacklo_ps(t01, t23), _mm256_unpackhi_ps(t01, t23));
    p = _mm256_add_ps(p, _mm256_permute_ps(p, 0x4E));  // [a0, a2, a0, a2 | a1, a3, a1, a3]
    return _mm_unpacklo_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
}

struct Avx2 {
    // Accumulators, rows and a vector register within the 16 registers: three vectors take three
    // rows per pass (9 + 3 + 1); four rows would spill or reload a register on every step.
    template <int NV>
    static constexpr std::size_t kRows = NV == 3 ? 3 : 4;

    template <int R, int NV, bool Prefetch>
    [[gnu::always_inline]] static inline void block(const std::byte* const* rows,
                                                    const std::byte* const* ahead, std::size_t cols,
                                                    const float* const* vecs, float* const* out,
                                                    std::size_t i, std::size_t step) {
        // A single vector alternates two accumulator sets to keep 2 * R FMA chains in flight.
        constexpr int U = NV == 1 ? 2 : 1;
        __m256 acc[U][R][NV];
        for (int u = 0; u < U; ++u)
            for (int r = 0; r < R; ++r)
                for (int v = 0; v < NV; ++v) acc[u][r][v] = _mm256_setzero_ps();
        const std::byte* row[R];
        const std::byte* pre[R];
        for (int r = 0; r < R; ++r) {
            row[r] = rows[r];
            pre[r] = ahead[r];
        }
        const float* vec[NV];
        for (int v = 0; v < NV; ++v) vec[v] = vecs[v];

        auto prefetch = [&](std::size_t c) TARNEXA_LAMBDA_INLINE {
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r)
                    __builtin_prefetch(pre[r] + c * sizeof(float), 0, kGatherLocality);
        };
        // u, the accumulator set, is a template argument: every accumulator index is a constant.
        auto step_at = [&]<int u>(std::size_t c, std::integral_constant<int, u>)
                           TARNEXA_LAMBDA_INLINE {
            __m256 x[R];
            for (int r = 0; r < R; ++r) {
                __m256 t = _mm256_loadu_ps(as_floats(row[r] + c * sizeof(float)));
                // Keep the row in a register rather than fold its load into each FMA using it.
                if constexpr (NV > 1) __asm__("" : "+x"(t));
                x[r] = t;
            }
            for (int v = 0; v < NV; ++v) {
                __m256 w = _mm256_loadu_ps(vec[v] + c);
                // Likewise the vector, shared by the R rows.
                if constexpr (R > 1) __asm__("" : "+x"(w));
                for (int r = 0; r < R; ++r) acc[u][r][v] = _mm256_fmadd_ps(x[r], w, acc[u][r][v]);
            }
        };

        // Two registers (one 64-byte line) of each row per iteration.
        constexpr std::integral_constant<int, 0> first;
        constexpr std::integral_constant<int, U - 1> last;
        std::size_t j = 0;
        for (; j + 2 * kLanes <= cols; j += 2 * kLanes) {
            prefetch(j);
            step_at(j, first);
            step_at(j + kLanes, last);
        }
        if (j + kLanes <= cols) {
            prefetch(j);
            step_at(j, first);
            j += kLanes;
        }
        if (j < cols) {
            prefetch(j);
            // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
            const __m256i k = _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(kTailMask + kLanes - (cols - j)));
            __m256 x[R];
            for (int r = 0; r < R; ++r)
                x[r] = _mm256_maskload_ps(as_floats(row[r] + j * sizeof(float)), k);
            for (int v = 0; v < NV; ++v) {
                const __m256 w = _mm256_maskload_ps(vec[v] + j, k);
                for (int r = 0; r < R; ++r) acc[0][r][v] = _mm256_fmadd_ps(x[r], w, acc[0][r][v]);
            }
        }
        if constexpr (Prefetch)  // the last line of a row that does not end on a line boundary
            for (int r = 0; r < R; ++r)
                __builtin_prefetch(pre[r] + (cols * sizeof(float) - 1), 0, kGatherLocality);

        for (int v = 0; v < NV; ++v) {
            const __m256 z = _mm256_setzero_ps();
            __m256 a[4] = {z, z, z, z};  // rows past R add nothing
            for (int r = 0; r < R; ++r) {
                a[r] = acc[0][r][v];
                for (int u = 1; u < U; ++u) a[r] = _mm256_add_ps(a[r], acc[u][r][v]);
            }
            float* o = out[v] + i;
            if constexpr (R == 1) {
                o[0] = sum1(a[0]);
            } else {
                const __m128 s = sum4(a[0], a[1], a[2], a[3]);
                o[0] = _mm_cvtss_f32(s);
                o[step] = _mm_cvtss_f32(_mm_movehdup_ps(s));
                if constexpr (R > 2) o[2 * step] = _mm_cvtss_f32(_mm_movehl_ps(s, s));
                if constexpr (R > 3) o[3 * step] = _mm_cvtss_f32(_mm_shuffle_ps(s, s, 3));
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
