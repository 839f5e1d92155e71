// NEON int8 kernel for 64-bit ARM: 16 codes per block, multiplied into 16-bit lanes (vmull_s8;
// |127 * 127| fits) and added pairwise into four 32-bit lanes (vpadalq_s16).
#include "kernels/int8_kernels.hpp"
#include "kernels/int8_neon.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Neon : Int8NeonBlocks {
    static constexpr int kRows = 1;
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        const int8x16_t w = vld1q_s8(q);
        acc = vpadalq_s16(acc, vmull_s8(vget_low_s8(x), vget_low_s8(w)));
        return vpadalq_s16(acc, vmull_high_s8(x, w));
    }
};

// The interleaved kernel: four rows by two codes a step, widened to 16 bits as interleaved; the
// products fit 16 bits (127 * 127) and vpadalq_s16 adds each row's pair into its 32-bit lane.
struct Int8ManyNeon {
    static constexpr std::size_t kLanes = 4, kStep = 2, kChunks = 4, kVecs = 4;
    using Elem = std::int16_t;
    using Chunk = int16x8_t;
    using Word = int16x8_t;
    using Acc = int32x4_t;
    [[gnu::always_inline]] static Elem encode(std::int8_t c) { return c; }
    [[gnu::always_inline]] static Chunk load(const Elem* p) { return vld1q_s16(p); }
    [[gnu::always_inline]] static Word word(const std::int8_t* q) {
        const auto lo = static_cast<std::uint16_t>(q[0]), hi = static_cast<std::uint16_t>(q[1]);
        return vreinterpretq_s16_u32(vdupq_n_u32(static_cast<std::uint32_t>(lo) | static_cast<std::uint32_t>(hi) << 16));
    }
    [[gnu::always_inline]] static Acc zero() { return vdupq_n_s32(0); }
    [[gnu::always_inline]] static Acc dot(Acc acc, Chunk c, Word w) { return vpadalq_s16(acc, vmulq_s16(c, w)); }
    [[gnu::always_inline]] static void store(Acc acc, std::int32_t bias, std::int32_t* out) {
        vst1q_s32(out, vsubq_s32(acc, vdupq_n_s32(bias)));
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
    // Four rows' 8 codes at a time, widened and transposed by pairs: four steps.
    static void interleave(const std::int8_t* rows, std::size_t n, std::size_t stride, std::size_t cols,
                           std::size_t steps, Elem* out) {
        std::int8_t buf[8];
        for (std::size_t j = 0; j < cols; j += 8) {
            int32x4_t r[4], o[4];
            for (std::size_t i = 0; i < 4; ++i)
                r[i] = i < n ? vreinterpretq_s32_s16(vmovl_s8(vld1_s8(row_bytes(rows + i * stride, j, cols, 8, buf))))
                             : vdupq_n_s32(0);
            transpose4(r[0], r[1], r[2], r[3], o);
            const std::size_t s0 = j / 2, here = std::min<std::size_t>(4, steps - s0);
            for (std::size_t d = 0; d < here; ++d) vst1q_s16(out + (s0 + d) * 8, vreinterpretq_s16_s32(o[d]));
        }
    }
};

}  // namespace

void int8_dot_rows_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Neon>(codes, stride, cols, count, listed, q, nq, out);
}


void int8_dot_many_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                        const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    int8_many<Int8ManyNeon>(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
