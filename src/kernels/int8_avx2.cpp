// AVX2 int8 kernel for CPUs without VNNI: 16 codes per block widened to 16 bits and multiplied
// pairwise into eight 32-bit lanes (vpmaddwd); the row's last partial block is copied into a
// zeroed buffer, so no byte past the row is read.
#include <immintrin.h>

#include <cstring>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Avx2 {
    static constexpr int kRows = 1;
    static constexpr std::size_t kBytes = 16;
    using Row = __m256i;
    using Acc = __m256i;
    [[gnu::always_inline]] static Acc zero() { return _mm256_setzero_si256(); }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) {
        return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        alignas(16) std::int8_t buf[kBytes] = {};
        std::memcpy(buf, p, n);
        return load_row(buf);
    }
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        return _mm256_add_epi32(acc, _mm256_madd_epi16(x, load_row(q)));
    }
    [[gnu::always_inline]] static std::int32_t total(Acc a) {
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
        return _mm_cvtsi128_si32(s);
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

}  // namespace

void int8_dot_rows_avx2(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Avx2>(codes, stride, cols, count, listed, q, nq, out);
}

}  // namespace tarnexa::kernels
