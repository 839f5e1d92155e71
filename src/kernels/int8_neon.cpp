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

}  // namespace

void int8_dot_rows_neon(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out) {
    int8_run_any<Int8Neon>(codes, stride, cols, count, listed, q, nq, out);
}

}  // namespace tarnexa::kernels
