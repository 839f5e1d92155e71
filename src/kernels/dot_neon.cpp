// NEON traits for the SIMD row kernel: 4 floats per register, 32 registers. NEON is part of every
// 64-bit ARM CPU, so this file needs no special flags. Loads go through byte vectors, which carry
// no alignment assumption; the last partial register of a row is copied into a zeroed register
// image, so nothing past the row is read.
#include <arm_neon.h>

#include <cstring>

#include "kernels/dot_simd.hpp"

namespace tarnexa::kernels {
namespace {

struct Neon : Registers<4, 32> {
    using V = float32x4_t;
    using Mask = std::size_t;  // the number of lanes to read
    using Sums = float32x4_t;
    [[gnu::always_inline]] static V zero() { return vdupq_n_f32(0.0f); }
    [[gnu::always_inline]] static V load(const void* p) {
        return vreinterpretq_f32_u8(vld1q_u8(static_cast<const std::uint8_t*>(p)));
    }
    [[gnu::always_inline]] static V add(V a, V b) { return vaddq_f32(a, b); }
    [[gnu::always_inline]] static V fma(V a, V b, V acc) { return vfmaq_f32(acc, a, b); }
    [[gnu::always_inline]] static Mask first_lanes(std::size_t n) { return n; }
    [[gnu::always_inline]] static V load_first(Mask n, const void* p) {
        float part[kLanes] = {};
        std::memcpy(part, p, n * sizeof(float));
        return vld1q_f32(part);
    }
    [[gnu::always_inline]] static void pin(V& x) { __asm__("" : "+w"(x)); }

    [[gnu::always_inline]] static float sum1(V a) { return vaddvq_f32(a); }
    // Lane k holds the sum of ak's 4 lanes: two rounds of pairwise adds.
    [[gnu::always_inline]] static Sums sum4(V a0, V a1, V a2, V a3) {
        return vpaddq_f32(vpaddq_f32(a0, a1), vpaddq_f32(a2, a3));
    }
    template <int K>
    [[gnu::always_inline]] static float sum_at(Sums s) {
        return vgetq_lane_f32(s, K);
    }
};

}  // namespace

void dot_rows_neon(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) {
    run_kernel<DotBlock<Neon>>(m, row_index, count, vecs, nvec, out);
}

}  // namespace tarnexa::kernels
