// AVX-512 traits for the SIMD row kernel: 16 floats per register. Loads are unaligned; the last
// partial register of a row uses a masked load, which never touches the bytes past the row.
#include <immintrin.h>

#include "kernels/dot_simd.hpp"

namespace tarnexa::kernels {
namespace {

// Plain shuffles of 128-bit quarters (shuffle4) and of lanes within each quarter (permute_lanes),
// written as zero-masking ones with every lane selected: GCC 12's unmasked intrinsics raise
// spurious uninitialised-value warnings.
template <int Imm>
inline __m512 shuffle4(__m512 a, __m512 b) {
    return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, Imm);
}
template <int Imm>
inline __m512 permute_lanes(__m512 a) { return _mm512_maskz_permute_ps(0xFFFF, a, Imm); }

struct Avx512 : Registers<16, 32> {
    using V = __m512;
    using Mask = __mmask16;
    using Sums = __m512;
    [[gnu::always_inline]] static V zero() { return _mm512_setzero_ps(); }
    [[gnu::always_inline]] static V load(const void* p) { return _mm512_loadu_ps(p); }
    [[gnu::always_inline]] static V add(V a, V b) { return _mm512_add_ps(a, b); }
    [[gnu::always_inline]] static V fma(V a, V b, V acc) { return _mm512_fmadd_ps(a, b, acc); }
    [[gnu::always_inline]] static Mask first_lanes(std::size_t n) {
        return static_cast<Mask>((1u << n) - 1u);
    }
    [[gnu::always_inline]] static V load_first(Mask k, const void* p) {
        return _mm512_maskz_loadu_ps(k, p);
    }
    [[gnu::always_inline]] static void pin(V& x) { __asm__("" : "+v"(x)); }

    [[gnu::always_inline]] static float sum1(V a) {
        const __m256 h = _mm256_add_ps(_mm512_maskz_extractf32x8_ps(0xFF, a, 0),
                                       _mm512_maskz_extractf32x8_ps(0xFF, a, 1));
        __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
        q = _mm_add_ps(q, _mm_movehl_ps(q, q));
        q = _mm_add_ss(q, _mm_movehdup_ps(q));
        return _mm_cvtss_f32(q);
    }
    // Lane 4k holds the sum of ak's 16 lanes. The four registers are folded together, halves
    // onto halves, in about half the instructions of four separate sums.
    [[gnu::always_inline]] static Sums sum4(V a0, V a1, V a2, V a3) {
        // Quarters of t01: a0's q0+q2, a0's q1+q3, a1's q0+q2, a1's q1+q3 (t23 likewise).
        const V t01 = _mm512_add_ps(shuffle4<0x44>(a0, a1), shuffle4<0xEE>(a0, a1));
        const V t23 = _mm512_add_ps(shuffle4<0x44>(a2, a3), shuffle4<0xEE>(a2, a3));
        // Quarter k of u: four partial sums of ak.
        V u = _mm512_add_ps(shuffle4<0x88>(t01, t23), shuffle4<0xDD>(t01, t23));
        u = _mm512_add_ps(u, permute_lanes<0x4E>(u));
        return _mm512_add_ps(u, permute_lanes<0xB1>(u));
    }
    template <int K>
    [[gnu::always_inline]] static float sum_at(Sums s) {
        if constexpr (K == 0) return _mm512_cvtss_f32(s);
        else return _mm_cvtss_f32(_mm512_maskz_extractf32x4_ps(0xF, s, K));
    }
};

}  // namespace

void dot_rows_avx512(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                     const float* const* vecs, std::size_t nvec, float* const* out) {
    run_kernel<DotBlock<Avx512>>(m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
