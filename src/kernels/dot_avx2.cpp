// AVX2 traits for the SIMD row kernel: 8 floats per register. Loads are unaligned; the last
// partial register of a row uses vmaskmovps, which never touches (or faults on) the masked-off
// bytes past the row.
#include <immintrin.h>

#include "kernels/dot_simd.hpp"

namespace tarnexa::kernels {
namespace {

// Loading 8 ints at kTailMask + 8 - n gives a mask selecting the first n lanes.
alignas(64) constexpr int kTailMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                           0,  0,  0,  0,  0,  0,  0,  0};

struct Avx2 : Registers<8, 16> {
    using V = __m256;
    using Mask = __m256i;
    using Sums = __m128;
    [[gnu::always_inline]] static V zero() { return _mm256_setzero_ps(); }
    [[gnu::always_inline]] static V load(const void* p) {
        return _mm256_loadu_ps(static_cast<const float*>(p));
    }
    [[gnu::always_inline]] static V add(V a, V b) { return _mm256_add_ps(a, b); }
    [[gnu::always_inline]] static V fma(V a, V b, V acc) { return _mm256_fmadd_ps(a, b, acc); }
    [[gnu::always_inline]] static Mask first_lanes(std::size_t n) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kTailMask + kLanes - n));
    }
    [[gnu::always_inline]] static V load_first(Mask k, const void* p) {
        return _mm256_maskload_ps(static_cast<const float*>(p), k);
    }
    [[gnu::always_inline]] static void pin(V& x) { __asm__("" : "+x"(x)); }

    [[gnu::always_inline]] static float sum1(V a) {
        __m128 q = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
        q = _mm_add_ps(q, _mm_movehl_ps(q, q));
        q = _mm_add_ss(q, _mm_movehdup_ps(q));
        return _mm_cvtss_f32(q);
    }
    // Lane k holds the sum of ak's 8 lanes. The four registers are folded together, halves onto
    // halves, in about half the instructions of four separate sums.
    [[gnu::always_inline]] static Sums sum4(V a0, V a1, V a2, V a3) {
        // t01 = a0's low + high half, then a1's; t23 likewise.
        const V t01 = _mm256_add_ps(_mm256_permute2f128_ps(a0, a1, 0x20),
                                    _mm256_permute2f128_ps(a0, a1, 0x31));
        const V t23 = _mm256_add_ps(_mm256_permute2f128_ps(a2, a3, 0x20),
                                    _mm256_permute2f128_ps(a2, a3, 0x31));
        // Low half of p: two partial sums each of a0 and a2, interleaved; high half: of a1 and a3.
        V p = _mm256_add_ps(_mm256_unpacklo_ps(t01, t23), _mm256_unpackhi_ps(t01, t23));
        p = _mm256_add_ps(p, _mm256_permute_ps(p, 0x4E));  // [a0, a2, a0, a2 | a1, a3, a1, a3]
        return _mm_unpacklo_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
    }
    template <int K>
    [[gnu::always_inline]] static float sum_at(Sums s) {
        if constexpr (K == 0) return _mm_cvtss_f32(s);
        else if constexpr (K == 1) return _mm_cvtss_f32(_mm_movehdup_ps(s));
        else if constexpr (K == 2) return _mm_cvtss_f32(_mm_movehl_ps(s, s));
        else return _mm_cvtss_f32(_mm_shuffle_ps(s, s, 3));
    }
};

}  // namespace

void dot_rows_avx2(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) {
    run_kernel<DotBlock<Avx2>>(m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
