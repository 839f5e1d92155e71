// AVX-512 VNNI int8 kernel: 64 codes per block. vpdpbusd multiplies unsigned by signed bytes, so
// the row codes are offset by 128 (a sign-bit flip) and 128 times the sum of the query codes is
// taken off each total. The row's last partial block is a masked load (bytes past the row are
// never touched); its masked-off lanes become 128 after the flip and meet zero query codes.
#include <immintrin.h>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Vnni {
    static constexpr int kRows = 4;
    static constexpr std::size_t kBytes = 64;
    using Row = __m512i;
    using Acc = __m512i;
    [[gnu::always_inline]] static Acc zero() { return _mm512_setzero_si512(); }
    [[gnu::always_inline]] static Row flip(__m512i x) {
        return _mm512_xor_si512(x, _mm512_set1_epi8(static_cast<char>(0x80)));
    }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) {
        return flip(_mm512_loadu_si512(p));
    }
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        return flip(_mm512_maskz_loadu_epi8((__mmask64{1} << n) - 1, p));
    }
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        return _mm512_dpbusd_epi32(acc, x, _mm512_loadu_si512(q));
    }
    // Zero-masking extracts and unpacks with every lane selected: GCC 12's unmasked ones raise
    // spurious uninitialised-value warnings.
    [[gnu::always_inline]] static std::int32_t total(Acc a) {
        const __m256i h = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, a, 0),
                                           _mm512_maskz_extracti64x4_epi64(0xF, a, 1));
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
        return _mm_cvtsi128_si32(s);
    }
    // out[k] = the sum of ak's lanes, four rows at once: interleaving pairs of rows folds the
    // lanes within each 128-bit block (rows 0..3 side by side), then the blocks are folded.
    [[gnu::always_inline]] static void totals4(Acc a0, Acc a1, Acc a2, Acc a3, std::int32_t* out) {
        const __m512i t01 = _mm512_add_epi32(_mm512_maskz_unpacklo_epi32(0xFFFF, a0, a1),
                                             _mm512_maskz_unpackhi_epi32(0xFFFF, a0, a1));
        const __m512i t23 = _mm512_add_epi32(_mm512_maskz_unpacklo_epi32(0xFFFF, a2, a3),
                                             _mm512_maskz_unpackhi_epi32(0xFFFF, a2, a3));
        const __m512i u = _mm512_add_epi32(_mm512_maskz_unpacklo_epi64(0xFF, t01, t23),
                                           _mm512_maskz_unpackhi_epi64(0xFF, t01, t23));
        const __m256i h = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, u, 0),
                                           _mm512_maskz_extracti64x4_epi64(0xF, u, 1));
        const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s);
    }
    // 128 times the sum of the query codes (padded is a whole number of blocks), summed by
    // vpdpbusd against ones: it runs once per call, and calls can be short.
    static std::int32_t bias(const std::int8_t* q, std::size_t padded) {
        const __m512i ones = _mm512_set1_epi8(1);
        __m512i acc = _mm512_setzero_si512();
        for (std::size_t j = 0; j < padded; j += kBytes) acc = _mm512_dpbusd_epi32(acc, ones, _mm512_loadu_si512(q + j));
        return 128 * total(acc);
    }
};

}  // namespace

void int8_dot_rows_vnni(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Vnni>(codes, stride, cols, count, listed, q, nq, out);
}

}  // namespace tarnexa::kernels
