// NEON int8 kernel for 64-bit ARM: 16 codes per block, multiplied into 16-bit lanes (vmull_s8;
// |127 * 127| fits) and added pairwise into four 32-bit lanes (vpadalq_s16). The row's last
// partial block is copied into a zeroed buffer, so no byte past the row is read.
#include <arm_neon.h>

#include <cstring>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Neon {
    static constexpr int kRows = 1;
    static constexpr std::size_t kBytes = 16;
    using Row = int8x16_t;
    using Acc = int32x4_t;
    [[gnu::always_inline]] static Acc zero() { return vdupq_n_s32(0); }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) { return vld1q_s8(p); }
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        std::int8_t buf[kBytes] = {};
        std::memcpy(buf, p, n);
        return vld1q_s8(buf);
    }
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        const int8x16_t w = vld1q_s8(q);
        acc = vpadalq_s16(acc, vmull_s8(vget_low_s8(x), vget_low_s8(w)));
        return vpadalq_s16(acc, vmull_high_s8(x, w));
    }
    [[gnu::always_inline]] static std::int32_t total(Acc a) { return vaddvq_s32(a); }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

}  // namespace

void int8_dot_rows_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Neon>(codes, stride, cols, count, listed, q, nq, out);
}

}  // namespace tarnexa::kernels
