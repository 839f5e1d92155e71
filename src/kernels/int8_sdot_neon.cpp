// NEON int8 kernel for 64-bit ARM CPUs with the ARMv8.2 dot product (this file alone is compiled
// for it; the dispatch calls it only where the CPU reports it): 16 codes per block, sdot summing
// each group of four products into one of four 32-bit lanes, four rows at a time.
#include "kernels/int8_kernels.hpp"
#include "kernels/int8_neon.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Sdot : Int8NeonBlocks {
    static constexpr int kRows = 4;
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        return vdotq_s32(acc, x, vld1q_s8(q));
    }
    // out[k] = the sum of ak's lanes, by two rounds of pairwise adds.
    [[gnu::always_inline]] static void totals4(Acc a0, Acc a1, Acc a2, Acc a3, std::int32_t* out) {
        vst1q_s32(out, vpaddq_s32(vpaddq_s32(a0, a1), vpaddq_s32(a2, a3)));
    }
};

// The interleaved kernel: four rows by four codes a step, one sdot per step and query vector.
struct Int8ManySdot {
    static constexpr std::size_t kLanes = 4, kStep = 4, kChunks = 4, kVecs = 4;
    using Elem = std::int8_t;
    using Chunk = int8x16_t;
    using Word = int8x16_t;
    using Acc = int32x4_t;
    [[gnu::always_inline]] static Elem encode(std::int8_t c) { return c; }
    [[gnu::always_inline]] static Chunk load(const Elem* p) { return vld1q_s8(p); }
    [[gnu::always_inline]] static Word word(const std::int8_t* q) {
        std::int32_t w;
        std::memcpy(&w, q, sizeof(w));
        return vreinterpretq_s8_s32(vdupq_n_s32(w));
    }
    [[gnu::always_inline]] static Acc zero() { return vdupq_n_s32(0); }
    [[gnu::always_inline]] static Acc dot(Acc acc, Chunk c, Word w) { return vdotq_s32(acc, c, w); }
    [[gnu::always_inline]] static void store(Acc acc, std::int32_t bias, std::int32_t* out) {
        vst1q_s32(out, vsubq_s32(acc, vdupq_n_s32(bias)));
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
    // Four rows' 16 codes at a time, transposed by 32 bits: four steps.
    static void interleave(const std::int8_t* rows, std::size_t n, std::size_t stride, std::size_t cols,
                           std::size_t steps, Elem* out) {
        std::int8_t buf[16];
        for (std::size_t j = 0; j < cols; j += 16) {
            int32x4_t r[4], o[4];
            for (std::size_t i = 0; i < 4; ++i)
                r[i] = i < n ? vreinterpretq_s32_s8(vld1q_s8(row_bytes(rows + i * stride, j, cols, 16, buf)))
                             : vdupq_n_s32(0);
            transpose4(r[0], r[1], r[2], r[3], o);
            const std::size_t s0 = j / 4, here = std::min<std::size_t>(4, steps - s0);
            for (std::size_t d = 0; d < here; ++d) vst1q_s8(out + (s0 + d) * 16, vreinterpretq_s8_s32(o[d]));
        }
    }
};

}  // namespace

void int8_dot_rows_sdot_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                             std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                             std::int32_t* const* out) {
    int8_run_any<Int8Sdot>(codes, stride, cols, count, listed, q, nq, out);
}


void int8_dot_many_sdot_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                             const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    int8_many<Int8ManySdot>(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
