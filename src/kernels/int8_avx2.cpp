// AVX2 int8 kernel for CPUs without VNNI: 32 codes per block. vpmaddubsw multiplies unsigned by
// signed bytes into 16-bit pair sums, so each query code's magnitude meets the row code carrying
// the query code's sign (vpsignb): |q| (sign(q) x) = q x, and a pair sums to at most
// 2 * 127 * 127 < 2^15, never saturating (row codes are never -128, whose negation would wrap);
// vpmaddwd by ones widens the pairs to 32 bits. Four rows are summed at a time. The row's last
// partial block is copied into a zeroed buffer, so no byte past the row is read.
#include <immintrin.h>

#include <cstring>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Avx2 {
    static constexpr int kRows = 4;
    static constexpr std::size_t kBytes = 32;
    using Row = __m256i;
    using Acc = __m256i;
    [[gnu::always_inline]] static Acc zero() { return _mm256_setzero_si256(); }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        alignas(32) std::int8_t buf[kBytes] = {};
        std::memcpy(buf, p, n);
        return load_row(buf);
    }
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        const __m256i qv = load_row(q);
        const __m256i pairs = _mm256_maddubs_epi16(_mm256_abs_epi8(qv), _mm256_sign_epi8(x, qv));
        return _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, _mm256_set1_epi16(1)));
    }
    [[gnu::always_inline]] static std::int32_t total(Acc a) {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
        return _mm_cvtsi128_si32(s);
    }
    // out[k] = the sum of ak's lanes: pairwise horizontal adds leave each row's sum split across
    // the two 128-bit halves.
    [[gnu::always_inline]] static void totals4(Acc a0, Acc a1, Acc a2, Acc a3, std::int32_t* out) {
        const __m256i h = _mm256_hadd_epi32(_mm256_hadd_epi32(a0, a1), _mm256_hadd_epi32(a2, a3));
        const __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s);
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

// The interleaved kernel: eight rows by two codes a step, widened to 16 bits as interleaved, so
// that vpmaddwd with the query's two codes in every lane gives each row's step in its 32-bit
// lane (127 * 127 * 2 < 2^31: nothing saturates) and the sums need no sign trick.
struct Int8ManyAvx2 {
    static constexpr std::size_t kLanes = 8, kStep = 2, kChunks = 2, kVecs = 4;
    using Elem = std::int16_t;
    using Chunk = __m256i;
    using Word = __m256i;
    using Acc = __m256i;
    [[gnu::always_inline]] static Elem encode(std::int8_t c) { return c; }
    [[gnu::always_inline]] static Chunk load(const Elem* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    [[gnu::always_inline]] static Word word(const std::int8_t* q) {
        const auto lo = static_cast<std::uint16_t>(q[0]), hi = static_cast<std::uint16_t>(q[1]);
        return _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(lo) | static_cast<std::uint32_t>(hi) << 16));
    }
    [[gnu::always_inline]] static Acc zero() { return _mm256_setzero_si256(); }
    [[gnu::always_inline]] static Acc dot(Acc acc, Chunk c, Word w) {
        return _mm256_add_epi32(acc, _mm256_madd_epi16(c, w));
    }
    [[gnu::always_inline]] static void store(Acc acc, std::int32_t bias, std::int32_t* out) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_sub_epi32(acc, _mm256_set1_epi32(bias)));
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }

    // Eight rows' 16 codes widened (8 pairs each) and transposed 8 x 8 by 32-bit pairs: pairs of
    // rows, then fours, interleaved within each 128-bit half, then the halves exchanged.
    static void interleave(const std::int8_t* rows, std::size_t n, std::size_t stride, std::size_t cols,
                           std::size_t steps, Elem* out) {
        alignas(16) std::int8_t buf[16];
        for (std::size_t j = 0; j < cols; j += 16) {
            __m256i r[8], t[8];
            for (std::size_t i = 0; i < 8; ++i)
                r[i] = i < n ? _mm256_cvtepi8_epi16(_mm_loadu_si128(
                                   reinterpret_cast<const __m128i*>(row_bytes(rows + i * stride, j, cols, 16, buf))))
                             : _mm256_setzero_si256();
            for (std::size_t i = 0; i < 8; i += 2) {
                t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
                t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
            }
            // r[4k + d]: per half h, rows 4k .. 4k + 3 of pair 4h + d.
            for (std::size_t k = 0; k < 8; k += 4) {
                r[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);
                r[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
                r[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);
                r[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
            }
            const std::size_t s0 = j / 2, here = std::min<std::size_t>(8, steps - s0);
            for (std::size_t d = 0; d < 4; ++d) {
                const __m256i lo = _mm256_permute2x128_si256(r[d], r[4 + d], 0x20);  // pair d
                const __m256i hi = _mm256_permute2x128_si256(r[d], r[4 + d], 0x31);  // pair 4 + d
                if (d < here) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (s0 + d) * 16), lo);
                if (4 + d < here) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (s0 + 4 + d) * 16), hi);
            }
        }
    }
};

}  // namespace

void int8_dot_rows_avx2(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Avx2>(codes, stride, cols, count, listed, q, nq, out);
}


void int8_dot_many_avx2(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                        const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    int8_many<Int8ManyAvx2>(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
