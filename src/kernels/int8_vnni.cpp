// AVX-512 VNNI int8 kernel: 64 codes per block. vpdpbusd multiplies unsigned by signed bytes, so
// the row codes are offset by 128 (a sign-bit flip) and 128 times the sum of the query codes is
// taken off each total. The row's last partial block is a masked load (bytes past the row are
// never touched); its masked-off lanes become 128 after the flip and meet zero query codes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

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
    // Four accumulators folded together: per 128-bit block, lane k holds part of ak's sum
    // (interleaving pairs folds the lanes within each block).
    [[gnu::always_inline]] static __m512i fold4(Acc a0, Acc a1, Acc a2, Acc a3) {
        const __m512i t01 = _mm512_add_epi32(_mm512_maskz_unpacklo_epi32(0xFFFF, a0, a1),
                                             _mm512_maskz_unpackhi_epi32(0xFFFF, a0, a1));
        const __m512i t23 = _mm512_add_epi32(_mm512_maskz_unpacklo_epi32(0xFFFF, a2, a3),
                                             _mm512_maskz_unpackhi_epi32(0xFFFF, a2, a3));
        return _mm512_add_epi32(_mm512_maskz_unpacklo_epi64(0xFF, t01, t23),
                                _mm512_maskz_unpackhi_epi64(0xFF, t01, t23));
    }
    // out[k] = the sum of ak's lanes, four rows at once: fold4, then the blocks folded.
    [[gnu::always_inline]] static void totals4(Acc a0, Acc a1, Acc a2, Acc a3, std::int32_t* out) {
        const __m512i u = fold4(a0, a1, a2, a3);
        const __m256i h = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, u, 0),
                                           _mm512_maskz_extracti64x4_epi64(0xF, u, 1));
        const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s);
    }
    // Rows of one block against two vectors: lo = q0's first 32 codes then q1's, hi = their last
    // 32 (the query codes are padded to whole blocks). Each half of a row, repeated across the
    // register, meets them: lanes 0..7 gather its products with q0, lanes 8..15 those with q1, so
    // four rows take one fold for both vectors instead of two.
    struct Pair {
        __m512i lo, hi, bias;
    };
    static Pair pair(const std::int8_t* q0, const std::int8_t* q1, std::int32_t bias0, std::int32_t bias1) {
        alignas(64) std::int8_t b[128];
        std::memcpy(b, q0, 32);
        std::memcpy(b + 32, q1, 32);
        std::memcpy(b + 64, q0 + 32, 32);
        std::memcpy(b + 96, q1 + 32, 32);
        return {_mm512_load_si512(b), _mm512_load_si512(b + 64),
                _mm512_mask_blend_epi32(0xFF00, _mm512_set1_epi32(bias0), _mm512_set1_epi32(bias1))};
    }
    // 32 codes repeated across the register, flipped. A broadcast load takes no shuffle, and the
    // shuffle port is the one this kernel keeps busiest.
    [[gnu::always_inline]] static Row load_half(const std::int8_t* p) {
        return flip(_mm512_maskz_broadcast_i64x4(0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    }
    [[gnu::always_inline]] static void pairs4(const std::int8_t* const* rows, std::size_t cols, const Pair& q,
                                              std::int32_t* out0, std::int32_t* out1) {
        Acc a[4];
        for (int r = 0; r < 4; ++r) {
            __m512i lo, hi;
            if (cols == kBytes) {
                lo = load_half(rows[r]);
                hi = load_half(rows[r] + 32);
            } else {
                const Row x = load_row_first(cols, rows[r]);
                lo = _mm512_maskz_shuffle_i64x2(0xFF, x, x, 0x44);
                hi = _mm512_maskz_shuffle_i64x2(0xFF, x, x, 0xEE);
            }
            a[r] = _mm512_dpbusd_epi32(_mm512_dpbusd_epi32(zero(), lo, q.lo), hi, q.hi);
        }
        // Blocks 0 and 1 of the fold hold the rows' partial sums with q0, blocks 2 and 3 with q1.
        const __m512i u = fold4(a[0], a[1], a[2], a[3]);
        const __m512i swapped = _mm512_maskz_shuffle_i32x4(0xFFFF, u, u, 0xB1);
        const __m512i w = _mm512_sub_epi32(_mm512_add_epi32(u, swapped), q.bias);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out0), _mm512_maskz_extracti32x4_epi32(0xF, w, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out1), _mm512_maskz_extracti32x4_epi32(0xF, w, 2));
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

// The interleaved kernel: sixteen rows by four codes a step, one vpdpbusd per step and query
// vector with the query's four codes in every lane. The interleaved codes are the unsigned
// operand (offset by 128, as above: the bias is Int8Vnni's). A sum of (x + 128) q may pass 2^31
// for very wide rows; the 32-bit adds wrap, and the result, which fits, comes out exact.
struct Int8ManyVnni {
    static constexpr std::size_t kLanes = 16, kStep = 4, kChunks = 4, kVecs = 4;
    using Elem = std::uint8_t;
    using Chunk = __m512i;
    using Word = __m512i;
    using Acc = __m512i;
    [[gnu::always_inline]] static Elem encode(std::int8_t c) { return static_cast<Elem>(c) ^ 0x80u; }
    [[gnu::always_inline]] static Chunk load(const Elem* p) { return _mm512_loadu_si512(p); }
    [[gnu::always_inline]] static Word word(const std::int8_t* q) {
        std::int32_t w;
        std::memcpy(&w, q, sizeof(w));
        return _mm512_set1_epi32(w);
    }
    [[gnu::always_inline]] static Acc zero() { return _mm512_setzero_si512(); }
    [[gnu::always_inline]] static Acc dot(Acc acc, Chunk c, Word w) { return _mm512_dpbusd_epi32(acc, c, w); }
    [[gnu::always_inline]] static void store(Acc acc, std::int32_t bias, std::int32_t* out) {
        _mm512_storeu_si512(out, _mm512_sub_epi32(acc, _mm512_set1_epi32(bias)));
    }
    static std::int32_t bias(const std::int8_t* q, std::size_t padded) { return Int8Vnni::bias(q, padded); }

    // Sixteen rows' 64 codes (16 dwords each) transposed into 16 vectors of one dword of every
    // row: pairs of rows, then fours, interleaved within each 128-bit block, then the 4 x 4
    // blocks transposed across the registers. Rows past n load as zeros, columns past cols too.
    static void interleave(const std::int8_t* rows, std::size_t n, std::size_t stride, std::size_t cols,
                           std::size_t steps, Elem* out) {
        for (std::size_t j = 0; j < cols; j += 64) {
            const std::size_t take = std::min<std::size_t>(64, cols - j);
            const __mmask64 m = take == 64 ? ~__mmask64{0} : (__mmask64{1} << take) - 1;
            __m512i r[16], t[16];
            for (std::size_t i = 0; i < 16; ++i)
                r[i] = Int8Vnni::flip(i < n ? _mm512_maskz_loadu_epi8(m, rows + i * stride + j) : _mm512_setzero_si512());
            for (std::size_t i = 0; i < 16; i += 2) {
                t[i] = _mm512_maskz_unpacklo_epi32(0xFFFF, r[i], r[i + 1]);
                t[i + 1] = _mm512_maskz_unpackhi_epi32(0xFFFF, r[i], r[i + 1]);
            }
            // r[4k + d]: per 128-bit block b, rows 4k .. 4k + 3 of dword 4b + d.
            for (std::size_t k = 0; k < 16; k += 4) {
                r[k] = _mm512_maskz_unpacklo_epi64(0xFF, t[k], t[k + 2]);
                r[k + 1] = _mm512_maskz_unpackhi_epi64(0xFF, t[k], t[k + 2]);
                r[k + 2] = _mm512_maskz_unpacklo_epi64(0xFF, t[k + 1], t[k + 3]);
                r[k + 3] = _mm512_maskz_unpackhi_epi64(0xFF, t[k + 1], t[k + 3]);
            }
            const std::size_t s0 = j / 4, here = std::min<std::size_t>(16, steps - s0);
            for (std::size_t d = 0; d < 4; ++d) {
                const __m512i v0 = _mm512_maskz_shuffle_i32x4(0xFFFF, r[d], r[4 + d], 0x44);
                const __m512i v1 = _mm512_maskz_shuffle_i32x4(0xFFFF, r[d], r[4 + d], 0xEE);
                const __m512i v2 = _mm512_maskz_shuffle_i32x4(0xFFFF, r[8 + d], r[12 + d], 0x44);
                const __m512i v3 = _mm512_maskz_shuffle_i32x4(0xFFFF, r[8 + d], r[12 + d], 0xEE);
                const __m512i o[4] = {_mm512_maskz_shuffle_i32x4(0xFFFF, v0, v2, 0x88),
                                      _mm512_maskz_shuffle_i32x4(0xFFFF, v0, v2, 0xDD),
                                      _mm512_maskz_shuffle_i32x4(0xFFFF, v1, v3, 0x88),
                                      _mm512_maskz_shuffle_i32x4(0xFFFF, v1, v3, 0xDD)};
                for (std::size_t b = 0; b < 4; ++b)  // dword 4b + d of the 64 codes
                    if (4 * b + d < here) _mm512_storeu_si512(out + (s0 + 4 * b + d) * 64, o[b]);
            }
        }
    }
};

}  // namespace

void int8_dot_rows_vnni(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Vnni>(codes, stride, cols, count, listed, q, nq, out);
}


void int8_dot_many_vnni(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                        const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    int8_many<Int8ManyVnni>(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
