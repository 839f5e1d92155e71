// AVX-512 row kernel: 16 floats per register, four rows per pass (see run_streams), every query
// vector in the same pass so each matrix row is read once. Loads are unaligned; the last partial
// register of a row uses masked loads, which never touch the bytes past the row.
#include <immintrin.h>

#include <type_traits>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 16;

// Plain shuffles of 128-bit quarters (shuffle4) and of lanes within each quarter (permute_lanes),
// written as zero-masking ones with every lane selected: GCC 12's unmasked intrinsics raise
// spurious uninitialised-value warnings.
template <int Imm>
inline __m512 shuffle4(__m512 a, __m512 b) {
    return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, Imm);
}
template <int Imm>
inline __m512 permute_lanes(__m512 a) { return _mm512_maskz_permute_ps(0xFFFF, a, Imm); }

// Lane 4k of the result (k < 4) holds the sum of a[k]'s 16 lanes. The four registers are folded
// together, halves onto halves, in about half the instructions of four separate sums.
inline __m512 sum4(__m512 a0, __m512 a1, __m512 a2, __m512 a3) {
    // Quarters of t01: a0's q0+q2, a0's q1+q3, a1's q0+q2, a1's q1+q3 (t23 likewise).
    const __m512 t01 = _mm512_add_ps(shuffle4<0x44>(a0, a1), shuffle4<0xEE>(a0, a1));
    const __m512 t23 = _mm512_add_ps(shuffle4<0x44>(a2, a3), shuffle4<0xEE>(a2, a3));
    // Quarter k of u: four partial sums of a[k].
    __m512 u = _mm512_add_ps(shuffle4<0x88>(t01, t23), shuffle4<0xDD>(t01, t23));
    u = _mm512_add_ps(u, permute_lanes<0x4E>(u));
    return _mm512_add_ps(u, permute_lanes<0xB1>(u));
}

// The sum of a's 16 lanes.
inline float sum1(__m512 a) {
    const __m256 h = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, a, 0),
                                   _mm512_maskz_extractf32x8_ps(0xFF, a, 1));
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

// Lane 4k of s as a float.
template <int K>
inline float quarter(__m512 s) {
    if constexpr (K == 0) return _mm512_cvtss_f32(s);
    else return _mm_cvtss_f32(_mm512_maskz_extractf32x4_ps(0xF, s, K));
}

struct Avx512 {
    // 12 accumulators, 4 rows and a vector register at most: well inside the 32 registers. (block
    // reduces at most 4 rows.)
    template <int NV>
    static constexpr std::size_t kRows = 4;

    template <int R, int NV, bool Prefetch>
    [[gnu::always_inline]] static inline void block(const std::byte* const* rows,
                                                    const std::byte* const* ahead, std::size_t cols,
                                                    const float* const* vecs, float* const* out,
                                                    std::size_t i, std::size_t step) {
        // A single vector alternates two accumulator sets to keep 2 * R FMA chains in flight.
        constexpr int U = NV == 1 ? 2 : 1;
        __m512 acc[U][R][NV];
        for (int u = 0; u < U; ++u)
            for (int r = 0; r < R; ++r)
                for (int v = 0; v < NV; ++v) acc[u][r][v] = _mm512_setzero_ps();
        const std::byte* row[R];
        const std::byte* pre[R];
        for (int r = 0; r < R; ++r) {
            row[r] = rows[r];
            pre[r] = ahead[r];
        }
        const float* vec[NV];
        for (int v = 0; v < NV; ++v) vec[v] = vecs[v];

        // One register of each row per step: 64 bytes, so one prefetch per row and step.
        // u, the accumulator set, is a template argument: every accumulator index is a constant.
        auto step_at = [&]<int u>(std::size_t c, std::integral_constant<int, u>)
                           TARNEXA_LAMBDA_INLINE {
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r)
                    __builtin_prefetch(pre[r] + c * sizeof(float), 0, kGatherLocality);
            __m512 x[R];
            for (int r = 0; r < R; ++r) {
                __m512 t = _mm512_loadu_ps(row[r] + c * sizeof(float));
                // Keep the row in a register: GCC would otherwise fold this load into each of the
                // NV FMAs that use it, and the repeated loads, not the FMAs, would set the pace.
                if constexpr (NV > 1) __asm__("" : "+v"(t));
                x[r] = t;
            }
            for (int v = 0; v < NV; ++v) {
                __m512 w = _mm512_loadu_ps(vec[v] + c);
                // Likewise the vector, shared by the R rows.
                if constexpr (R > 1) __asm__("" : "+v"(w));
                for (int r = 0; r < R; ++r) acc[u][r][v] = _mm512_fmadd_ps(x[r], w, acc[u][r][v]);
            }
        };

        constexpr std::integral_constant<int, 0> first;
        constexpr std::integral_constant<int, U - 1> last;
        std::size_t j = 0;
        for (; j + U * kLanes <= cols; j += U * kLanes) {
            step_at(j, first);
            if constexpr (U > 1) step_at(j + kLanes, last);
        }
        if constexpr (U > 1)
            if (j + kLanes <= cols) {
                step_at(j, first);
                j += kLanes;
            }
        if (j < cols) {
            // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
            const __mmask16 k = static_cast<__mmask16>((1u << (cols - j)) - 1u);
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r)
                    __builtin_prefetch(pre[r] + j * sizeof(float), 0, kGatherLocality);
            __m512 x[R];
            for (int r = 0; r < R; ++r) x[r] = _mm512_maskz_loadu_ps(k, row[r] + j * sizeof(float));
            for (int v = 0; v < NV; ++v) {
                const __m512 w = _mm512_maskz_loadu_ps(k, vec[v] + j);
                for (int r = 0; r < R; ++r) acc[0][r][v] = _mm512_fmadd_ps(x[r], w, acc[0][r][v]);
            }
        }
        if constexpr (Prefetch)  // the last line of a row that does not end on a line boundary
            for (int r = 0; r < R; ++r)
                __builtin_prefetch(pre[r] + (cols * sizeof(float) - 1), 0, kGatherLocality);

        for (int v = 0; v < NV; ++v) {
            const __m512 z = _mm512_setzero_ps();
            __m512 a[4] = {z, z, z, z};  // rows past R add nothing
            for (int r = 0; r < R; ++r) {
                a[r] = acc[0][r][v];
                for (int u = 1; u < U; ++u) a[r] = _mm512_add_ps(a[r], acc[u][r][v]);
            }
            float* o = out[v] + i;
            if constexpr (R == 1) {
                o[0] = sum1(a[0]);
            } else {
                const __m512 s = sum4(a[0], a[1], a[2], a[3]);
                o[0] = quarter<0>(s);
                o[step] = quarter<1>(s);
                if constexpr (R > 2) o[2 * step] = quarter<2>(s);
                if constexpr (R > 3) o[3 * step] = quarter<3>(s);
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
