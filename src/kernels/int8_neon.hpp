// What the NEON int8 kernels share: 16 codes per block, loads, and a row's total. Included only
// by the files compiled for 64-bit ARM.
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnexa::kernels {
namespace {

struct Int8NeonBlocks {
    static constexpr std::size_t kBytes = 16;
    using Row = int8x16_t;
    using Acc = int32x4_t;
    [[gnu::always_inline]] static Acc zero() { return vdupq_n_s32(0); }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) { return vld1q_s8(p); }
    // The row's last partial block is copied into a zeroed buffer: no byte past the row is read.
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        std::int8_t buf[kBytes] = {};
        std::memcpy(buf, p, n);
        return vld1q_s8(buf);
    }
    [[gnu::always_inline]] static std::int32_t total(Acc a) { return vaddvq_s32(a); }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

// Four rows' 4 x 4 blocks of 32 bits transposed: out[d] holds dword d of rows 0 .. 3.
[[gnu::always_inline]] inline void transpose4(int32x4_t a, int32x4_t b, int32x4_t c, int32x4_t d, int32x4_t* out) {
    const int32x4_t t0 = vtrn1q_s32(a, b), t1 = vtrn2q_s32(a, b), t2 = vtrn1q_s32(c, d), t3 = vtrn2q_s32(c, d);
    out[0] = vreinterpretq_s32_s64(vtrn1q_s64(vreinterpretq_s64_s32(t0), vreinterpretq_s64_s32(t2)));
    out[1] = vreinterpretq_s32_s64(vtrn1q_s64(vreinterpretq_s64_s32(t1), vreinterpretq_s64_s32(t3)));
    out[2] = vreinterpretq_s32_s64(vtrn2q_s64(vreinterpretq_s64_s32(t0), vreinterpretq_s64_s32(t2)));
    out[3] = vreinterpretq_s32_s64(vtrn2q_s64(vreinterpretq_s64_s32(t1), vreinterpretq_s64_s32(t3)));
}

}  // namespace
}  // namespace tarnexa::kernels
