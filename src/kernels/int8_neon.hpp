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

}  // namespace
}  // namespace tarnexa::kernels
