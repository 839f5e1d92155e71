// The SIMD row kernel, written once over an instruction-set traits type, and the pass schedule
// that drives it. Each *_<isa>.cpp file defines its traits in an unnamed namespace and exports
// one entry point: run_kernel<DotBlock<Traits>>.
//
// Traits T derive from Registers<...> below (kLanes, kRegisters), name V, Mask and Sums, and provide, all
// static and forced inline:
//   V zero();  V load(const void* p);  V add(V a, V b);
//   V fma(V a, V b, V acc);                 // a * b + acc, one rounding
//   Mask first_lanes(std::size_t n);        // 1 <= n < kLanes
//   V load_first(Mask k, const void* p);    // masked-off lanes read as 0 and never fault
//   void pin(V& x);                         // keeps x in a register (an empty asm constraint)
//   float sum1(V a);                        // the sum of a's lanes
//   Sums sum4(V a0, V a1, V a2, V a3);      // the four lane sums, read back with
//   template <int K> float sum_at(Sums s);  //   sum_at<K>(s) == the sum of aK's lanes
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

// Gathered rows are prefetched kGatherPrefetchRows rows (a whole number of passes) ahead, one
// request per line interleaved with the loads of the current pass, into L2 rather than L1: a
// request for L1 holds one of L1's few miss buffers until the line arrives, which limits how many
// rows are in flight; L2-bound requests let about 1.5x as many random rows arrive per second.
constexpr std::size_t kGatherPrefetchRows = 16;
constexpr int kGatherLocality = 2;  // prefetcht1: into L2
constexpr std::size_t kLineFloats = 64 / sizeof(float);

// The register file of an instruction set: a V holds Lanes floats and Registers_ V registers are
// usable. The traits name their register types themselves (V; Mask, which selects the first n
// lanes of a V; Sums, four row sums read back with sum_at<K>): vector types passed as template
// arguments would lose their attributes.
template <std::size_t Lanes, std::size_t Registers_>
struct Registers {
    static constexpr std::size_t kLanes = Lanes;
    static constexpr std::size_t kRegisters = Registers_;
};

// block<R, NV, Prefetch>(rows, ahead, cols, vecs, out, i, step) sets
// out[v][i + r * step] = dot(rows[r], vecs[v]) for r < R <= kRows<NV>, v < NV, and if Prefetch,
// prefetches the rows ahead[0..R) (with kGatherLocality) while it reads.
template <class T>
struct DotBlock {
    using V = typename T::V;
    static constexpr std::size_t kLanes = T::kLanes;
    static_assert(sizeof(V) == kLanes * sizeof(float));
    static_assert(kLanes <= kLineFloats && kLineFloats % kLanes == 0);
    // Accumulator sets per vector: a single vector alternates two to keep 2 * R FMA chains in
    // flight.
    template <int NV>
    static constexpr int kSets = NV == 1 ? 2 : 1;
    // Rows per pass: the most, up to 4, whose accumulators, rows and one vector register fit in
    // the registers (with 16, three vectors take three rows: 9 + 3 + 1; four rows would spill or
    // reload a register on every step).
    template <int NV>
    static constexpr std::size_t kRows = [] {
        std::size_t r = 4;
        while (r > 2 && kSets<NV> * NV * r + r + 1 > T::kRegisters) --r;
        return r;
    }();

    template <int R, int NV, bool Prefetch>
    [[gnu::always_inline]] static inline void block(const std::byte* const* rows,
                                                    const std::byte* const* ahead, std::size_t cols,
                                                    const float* const* vecs, float* const* out,
                                                    std::size_t i, std::size_t step) {
        constexpr int U = kSets<NV>;
        // Registers per iteration: a whole 64-byte line of each row, and every accumulator set.
        constexpr std::size_t kPerLine = kLineFloats / kLanes;
        constexpr std::size_t kUnroll = kPerLine > U ? kPerLine : U;

        V acc[U][R][NV];
        for (int u = 0; u < U; ++u)
            for (int r = 0; r < R; ++r)
                for (int v = 0; v < NV; ++v) acc[u][r][v] = T::zero();
        const std::byte* row[R];
        const std::byte* pre[R];
        for (int r = 0; r < R; ++r) {
            row[r] = rows[r];
            pre[r] = ahead[r];
        }
        const float* vec[NV];
        for (int v = 0; v < NV; ++v) vec[v] = vecs[v];

        auto prefetch = [&](std::size_t c) TARNEXA_LAMBDA_INLINE {
            if constexpr (Prefetch)
                for (int r = 0; r < R; ++r)
                    __builtin_prefetch(pre[r] + c * sizeof(float), 0, kGatherLocality);
        };
        // u, the accumulator set, is a template argument: every accumulator index is a constant.
        auto step_at = [&]<int u>(std::size_t c, std::integral_constant<int, u>)
                           TARNEXA_LAMBDA_INLINE {
            V x[R];
            for (int r = 0; r < R; ++r) {
                V t = T::load(row[r] + c * sizeof(float));
                // Keep the row in a register: GCC would otherwise fold this load into each of the
                // NV FMAs that use it, and the repeated loads, not the FMAs, would set the pace.
                if constexpr (NV > 1) T::pin(t);
                x[r] = t;
            }
            for (int v = 0; v < NV; ++v) {
                V w = T::load(vec[v] + c);
                // Likewise the vector, shared by the R rows.
                if constexpr (R > 1) T::pin(w);
                for (int r = 0; r < R; ++r) acc[u][r][v] = T::fma(x[r], w, acc[u][r][v]);
            }
        };
        // Register s of an iteration starting at column j: one prefetch per line.
        auto unit = [&]<std::size_t s>(std::size_t j, std::integral_constant<std::size_t, s>)
                        TARNEXA_LAMBDA_INLINE {
            if constexpr (s % kPerLine == 0) prefetch(j + s * kLanes);
            step_at(j + s * kLanes, std::integral_constant<int, static_cast<int>(s % U)>{});
        };

        constexpr std::integral_constant<int, 0> first;
        std::size_t j = 0;
        for (; j + kUnroll * kLanes <= cols; j += kUnroll * kLanes)
            [&]<std::size_t... s>(std::index_sequence<s...>) TARNEXA_LAMBDA_INLINE {
                (unit(j, std::integral_constant<std::size_t, s>{}), ...);
            }(std::make_index_sequence<kUnroll>{});
        for (; j + kLanes <= cols; j += kLanes) {
            prefetch(j);
            step_at(j, first);
        }
        if (j < cols) {
            prefetch(j);
            // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
            const typename T::Mask k = T::first_lanes(cols - j);
            V x[R];
            for (int r = 0; r < R; ++r) x[r] = T::load_first(k, row[r] + j * sizeof(float));
            for (int v = 0; v < NV; ++v) {
                const V w = T::load_first(k, vec[v] + j);
                for (int r = 0; r < R; ++r) acc[0][r][v] = T::fma(x[r], w, acc[0][r][v]);
            }
        }
        if constexpr (Prefetch)  // the last line of a row that does not end on a line boundary
            for (int r = 0; r < R; ++r)
                __builtin_prefetch(pre[r] + (cols * sizeof(float) - 1), 0, kGatherLocality);

        for (int v = 0; v < NV; ++v) {
            V a[4] = {T::zero(), T::zero(), T::zero(), T::zero()};  // rows past R add nothing
            for (int r = 0; r < R; ++r) {
                a[r] = acc[0][r][v];
                for (int u = 1; u < U; ++u) a[r] = T::add(a[r], acc[u][r][v]);
            }
            float* o = out[v] + i;
            if constexpr (R == 1) {
                o[0] = T::sum1(a[0]);
            } else {
                const typename T::Sums s = T::sum4(a[0], a[1], a[2], a[3]);
                o[0] = T::template sum_at<0>(s);
                o[step] = T::template sum_at<1>(s);
                if constexpr (R > 2) o[2 * step] = T::template sum_at<2>(s);
                if constexpr (R > 3) o[3 * step] = T::template sum_at<3>(s);
            }
        }
    }
};

// Pass schedule. The outputs are split into S equal stretches (S = the kernel's rows per pass)
// that are walked side by side, one row of each per pass, so a pass scores S rows against every
// vector (each vector load serves S rows) while, for row_index == nullptr, each stretch is one
// linear sweep through memory that the hardware prefetchers follow. (Taking S adjacent rows per
// pass instead reads a dense matrix at well under half the bandwidth: the prefetchers see short
// streams that keep restarting.) Sequential rows get no software prefetch: requests a row or more
// ahead in each stretch slowed a large matrix by 15-60%, the more so the more vectors are scored.

// The last count % S rows (1 <= rest < S <= 4), scored in one pass.
template <class K, int NV>
[[gnu::noinline]] void run_rest(const MatrixView& m, const std::uint64_t* row_index,
                                std::size_t first, std::size_t rest, const float* const* vecs,
                                float* const* out) {
    constexpr std::size_t S = K::template kRows<NV>;
    static_assert(S >= 2 && S <= 4);
    const std::byte* rows[S - 1];
    for (std::size_t r = 0; r < rest; ++r) rows[r] = row_at(m, row_index, first + r);
    if (rest == 1) {
        K::template block<1, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
    } else if constexpr (S > 2) {
        if (rest == 2)
            K::template block<2, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
        else if constexpr (S > 3)
            K::template block<3, NV, false>(rows, rows, m.cols, vecs, out, first, 1);
    }
}

template <class K, int NV>
void run_streams(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                 const float* const* vecs, float* const* out) {
    constexpr std::size_t S = K::template kRows<NV>;
    const std::size_t passes = count / S;
    const std::size_t ahead_passes = row_index ? (kGatherPrefetchRows + S - 1) / S : 0;
    const std::byte* rows[S];
    const std::byte* ahead[S];

    // With gathered rows, the first ahead_passes passes are requested up front and each later one
    // by the pass ahead_passes before it: passes [0, prefetching) prefetch.
    const std::size_t warm = ahead_passes < passes ? ahead_passes : passes;
    for (std::size_t t = 0; t < warm; ++t)
        for (std::size_t r = 0; r < S; ++r)
            prefetch_bytes<kGatherLocality>(row_at(m, row_index, t + r * passes), m.cols * sizeof(float));
    const std::size_t prefetching = ahead_passes ? passes - warm : 0;

    std::size_t t = 0;
    for (; t < prefetching; ++t) {
        for (std::size_t r = 0; r < S; ++r) {
            rows[r] = row_at(m, row_index, t + r * passes);
            ahead[r] = row_at(m, row_index, t + ahead_passes + r * passes);
        }
        K::template block<S, NV, true>(rows, ahead, m.cols, vecs, out, t, passes);
    }
    for (; t < passes; ++t) {
        for (std::size_t r = 0; r < S; ++r) rows[r] = row_at(m, row_index, t + r * passes);
        K::template block<S, NV, false>(rows, rows, m.cols, vecs, out, t, passes);
    }
    if (count > passes * S)
        run_rest<K, NV>(m, row_index, passes * S, count - passes * S, vecs, out);
}

// Entry point shape shared by the kernels: nvec in 1..3 picks the instantiation.
template <class K>
void run_kernel(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                const float* const* vecs, std::size_t nvec, float* const* out) {
    switch (nvec) {
        case 1: run_streams<K, 1>(m, row_index, count, vecs, out); break;
        case 2: run_streams<K, 2>(m, row_index, count, vecs, out); break;
        default: run_streams<K, 3>(m, row_index, count, vecs, out); break;
    }
}

}  // namespace
}  // namespace tarnexa::kernels
