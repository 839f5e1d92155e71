// The int8 row kernel written once over a small traits type, and the per-ISA entry points.
// Internal to src/kernels; the same linkage rules as dot_kernels.hpp (helpers in an unnamed
// namespace, only the entry points exported).
//
// Traits T provide, static and forced inline:
//   Acc zero();
//   Row load_row(const std::int8_t* p);                 // one block of kBytes row codes
//   Row load_row_first(std::size_t n, const std::int8_t* p);  // the first n < kBytes, rest 0
//   Acc dot(Acc acc, Row row, const std::int8_t* q);   // acc += row . q over kBytes, in lanes
//   std::int32_t total(Acc acc);                        // sum of lanes
//   std::int32_t bias(const std::int8_t* q, std::size_t padded);  // subtracted from every sum
// and may provide, for rows of one block against two vectors (where reducing each row's lanes
// costs more than its dots):
//   Pair pair(const std::int8_t* q0, const std::int8_t* q1, std::int32_t bias0, std::int32_t bias1);
//   void pairs4(const std::int8_t* const* rows, std::size_t cols, const Pair& q,
//               std::int32_t* out0, std::int32_t* out1);  // four rows' sums with q0, with q1
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/int8.hpp"
#include "kernels/prefetch.hpp"

namespace tarnexa::kernels {

void int8_dot_rows_portable(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                            const std::size_t*, const std::int8_t* const*, std::size_t, std::int32_t* const*);
#if TARNEXA_KERNELS_X86
void int8_dot_rows_avx2(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                        const std::size_t*, const std::int8_t* const*, std::size_t, std::int32_t* const*);
void int8_dot_rows_vnni(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                        const std::size_t*, const std::int8_t* const*, std::size_t, std::int32_t* const*);
#endif

// The kernels of int8_dot_many, with the same arguments and the scratch last.
using Int8ManyKernel = void (*)(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                                std::size_t, std::int32_t* const*, void*);
void int8_dot_many_portable(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                            std::size_t, std::int32_t* const*, void*);
#if TARNEXA_KERNELS_X86
void int8_dot_many_avx2(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                        std::size_t, std::int32_t* const*, void*);
void int8_dot_many_vnni(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                        std::size_t, std::int32_t* const*, void*);
#endif
#if TARNEXA_KERNELS_NEON
void int8_dot_many_neon(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                        std::size_t, std::int32_t* const*, void*);
void int8_dot_many_sdot_neon(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::int8_t* const*,
                             std::size_t, std::int32_t* const*, void*);
#endif
#if TARNEXA_KERNELS_NEON
void int8_dot_rows_neon(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                        const std::size_t*, const std::int8_t* const*, std::size_t, std::int32_t* const*);
void int8_dot_rows_sdot_neon(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                             const std::size_t*, const std::int8_t* const*, std::size_t, std::int32_t* const*);
#endif

namespace {

// Consecutive rows are prefetched this many bytes ahead, into the second-level cache (a first-level
// prefetch holds a fill buffer the loads need): the stream keeps going while the caller works
// between runs and across page boundaries, where the hardware prefetchers stop.
constexpr std::size_t kInt8PrefetchAhead = 8192;

// The bytes [row, row + span) kInt8PrefetchAhead further on (forced inline, see prefetch_bytes).
[[gnu::always_inline]] inline void prefetch_rows(const std::int8_t* row, std::size_t span) {
    prefetch_bytes<2>(row + kInt8PrefetchAhead, span);
}

// Rows are read one after the other (a linear sweep the hardware prefetchers follow), each
// row's blocks once, against all NQ query vectors. Traits with kRows == 4 also provide
// totals4(acc0, acc1, acc2, acc3, out): four rows' sums reduced together, which costs about what
// one row's reduction does; their rows are then scored four at a time.
template <class T, int NQ, int R>
[[gnu::always_inline]] inline void int8_rows(const std::int8_t* const* rows, std::size_t cols,
                                             const std::int8_t* const* q, const std::int32_t* bias,
                                             std::int32_t* const* out, std::size_t i) {
    constexpr std::size_t B = T::kBytes;
    const std::size_t body = cols - cols % B;
    typename T::Acc acc[R][NQ];
    for (int r = 0; r < R; ++r)
        for (int v = 0; v < NQ; ++v) acc[r][v] = T::zero();
    std::size_t j = 0;
    for (; j < body; j += B) {
        typename T::Row x[R];
        for (int r = 0; r < R; ++r) x[r] = T::load_row(rows[r] + j);
        for (int v = 0; v < NQ; ++v)
            for (int r = 0; r < R; ++r) acc[r][v] = T::dot(acc[r][v], x[r], q[v] + j);
    }
    if (j < cols) {
        typename T::Row x[R];
        for (int r = 0; r < R; ++r) x[r] = T::load_row_first(cols - j, rows[r] + j);
        for (int v = 0; v < NQ; ++v)
            for (int r = 0; r < R; ++r) acc[r][v] = T::dot(acc[r][v], x[r], q[v] + j);
    }
    for (int v = 0; v < NQ; ++v) {
        if constexpr (R == 4) {
            std::int32_t t[4];
            T::totals4(acc[0][v], acc[1][v], acc[2][v], acc[3][v], t);
            for (int r = 0; r < 4; ++r) out[v][i + r] = t[r] - bias[v];
        } else {
            for (int r = 0; r < R; ++r) out[v][i + r] = T::total(acc[r][v]) - bias[v];
        }
    }
}

// Row i of the run is codes + at(i) * stride: at(i) = i, or listed[i] for a list of rows.
// kCols, when not 0, is cols known at compile time: the loops over a row's blocks then have a
// known length, unrolled without a counter.
template <class T, int NQ, std::size_t kCols = 0>
void int8_run(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
              const std::size_t* listed, const std::int8_t* const* q, std::int32_t* const* out) {
    if constexpr (kCols != 0) cols = kCols;
    const std::size_t padded = int8_padded(cols);
    std::int32_t bias[NQ];
    for (int v = 0; v < NQ; ++v) bias[v] = T::bias(q[v], padded);
    auto at = [&](std::size_t i) { return codes + (listed ? listed[i] : i) * stride; };
    std::size_t i = 0;
    if constexpr (NQ == 2 && requires { &T::pairs4; }) {
        if (cols <= T::kBytes) {
            const auto pair = T::pair(q[0], q[1], bias[0], bias[1]);
            for (; i + 4 <= count; i += 4) {
                const std::int8_t* rows[4] = {at(i), at(i + 1), at(i + 2), at(i + 3)};
                if (!listed) prefetch_rows(rows[0], 4 * stride);
                T::pairs4(rows, cols, pair, out[0] + i, out[1] + i);
            }
        }
    }
    if constexpr (T::kRows == 4) {
        for (; i + 4 <= count; i += 4) {
            const std::int8_t* rows[4] = {at(i), at(i + 1), at(i + 2), at(i + 3)};
            if (!listed) prefetch_rows(rows[0], 4 * stride);
            int8_rows<T, NQ, 4>(rows, cols, q, bias, out, i);
        }
    }
    for (; i < count; ++i) {
        const std::int8_t* rows[1] = {at(i)};
        int8_rows<T, NQ, 1>(rows, cols, q, bias, out, i);
    }
}

// The widths embeddings commonly have, for one or two vectors (the scan's passes): at 384 dims a
// loop of known length brings a pass over rows in memory from about 0.28 to 0.26 of the time a
// float32 read of the same rows takes (the codes alone take 0.25 to read).
template <class T, int NQ>
void int8_run_width(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                    const std::size_t* listed, const std::int8_t* const* q, std::int32_t* const* out) {
    switch (cols) {
        case 64: int8_run<T, NQ, 64>(codes, stride, cols, count, listed, q, out); break;
        case 128: int8_run<T, NQ, 128>(codes, stride, cols, count, listed, q, out); break;
        case 256: int8_run<T, NQ, 256>(codes, stride, cols, count, listed, q, out); break;
        case 384: int8_run<T, NQ, 384>(codes, stride, cols, count, listed, q, out); break;
        case 512: int8_run<T, NQ, 512>(codes, stride, cols, count, listed, q, out); break;
        case 768: int8_run<T, NQ, 768>(codes, stride, cols, count, listed, q, out); break;
        case 1024: int8_run<T, NQ, 1024>(codes, stride, cols, count, listed, q, out); break;
        default: int8_run<T, NQ>(codes, stride, cols, count, listed, q, out); break;
    }
}

template <class T>
void int8_run_any(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                  const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                  std::int32_t* const* out) {
    switch (nq) {
        case 1: int8_run_width<T, 1>(codes, stride, cols, count, listed, q, out); break;
        case 2: int8_run_width<T, 2>(codes, stride, cols, count, listed, q, out); break;
        case 3: int8_run<T, 3>(codes, stride, cols, count, listed, q, out); break;
        case 4: int8_run<T, 4>(codes, stride, cols, count, listed, q, out); break;
        case 5: int8_run<T, 5>(codes, stride, cols, count, listed, q, out); break;
        default: int8_run<T, 6>(codes, stride, cols, count, listed, q, out); break;
    }
}

// ---- many vectors against a run of rows: int8_dot_many ----
//
// Rows are taken kLanes at a time (a chunk) and interleaved into the scratch, kStep codes of each
// row side by side per step: a vector of the chunk then holds every row's codes of kStep columns,
// and one multiply with a query vector's kStep codes repeated in every lane adds to all kLanes
// rows' sums at once, each sum staying in its own lane. No horizontal sums, and each load of the
// interleaved codes serves kVecs query vectors; kChunks chunks (a group) are interleaved at a
// time and every query vector passes over them while they are in the first-level cache.
//
// Traits M provide, static and forced inline:
//   kLanes, kStep, kChunks, kVecs; Elem (the interleaved codes' type), Chunk, Word, Acc;
//   Elem encode(std::int8_t code);                        // a code as interleaved
//   Chunk load(const Elem* p);                            // one step of a chunk: kLanes * kStep elems
//   Word word(const std::int8_t* q);                      // kStep query codes at q, in every lane
//   Acc zero();  Acc dot(Acc acc, Chunk c, Word w);       // acc[lane] += row(lane) . q over the step
//   void store(Acc acc, std::int32_t bias, std::int32_t* out);  // out[lane] = acc[lane] - bias
//   std::int32_t bias(const std::int8_t* q, std::size_t padded);
// and may provide interleave(rows, n, stride, cols, steps, out), faster than interleave_plain.

// The interleaved chunk of rows [0, n) (n <= kLanes; missing rows and columns past cols as code 0):
// out[(s * kLanes + lane) * kStep + k] = encode(code k of step s of row lane).
template <class M>
void interleave_plain(const std::int8_t* rows, std::size_t n, std::size_t stride, std::size_t cols,
                      std::size_t steps, typename M::Elem* out) {
    constexpr std::size_t L = M::kLanes, S = M::kStep;
    for (std::size_t lane = 0; lane < L; ++lane) {
        const std::int8_t* row = lane < n ? rows + lane * stride : nullptr;
        for (std::size_t s = 0; s < steps; ++s)
            for (std::size_t k = 0; k < S; ++k) {
                const std::size_t j = s * S + k;
                out[(s * L + lane) * S + k] = M::encode(row && j < cols ? row[j] : std::int8_t{0});
            }
    }
}

// Elements of scratch a group takes (the biases follow them).
template <class M>
constexpr std::size_t group_elems(std::size_t steps) {
    return M::kChunks * steps * M::kLanes * M::kStep;
}

// The lines of rows still to be prefetched, [at, end): one a step of the vectors' passes, so that
// the next groups' codes arrive while this one is scored instead of in one burst, which stalls on
// the fill buffers (most of the kernel's time at 16 vectors when it did).
struct Ahead {
    const std::int8_t* at;
    const std::int8_t* end;
    [[gnu::always_inline]] void step() {
        if (at < end) {
            __builtin_prefetch(at, 0, 2);
            at += 64;
        }
    }
};

// QV query vectors from v against the group's kChunks chunks, rows [base, base + n) of the output.
template <class M, int QV>
[[gnu::always_inline]] inline void many_vectors(const typename M::Elem* group, std::size_t steps,
                                                const std::int8_t* const* q, const std::int32_t* bias,
                                                std::int32_t* const* out, std::size_t v, std::size_t base,
                                                std::size_t n, Ahead& ahead) {
    constexpr std::size_t L = M::kLanes, R = M::kChunks, C = L * M::kStep;
    typename M::Acc acc[R][QV];
    for (std::size_t r = 0; r < R; ++r)
        for (int k = 0; k < QV; ++k) acc[r][k] = M::zero();
    for (std::size_t s = 0; s < steps; ++s) {
        ahead.step();
        typename M::Word w[QV];
        for (int k = 0; k < QV; ++k) w[k] = M::word(q[v + k] + s * M::kStep);
        for (std::size_t r = 0; r < R; ++r) {
            const typename M::Chunk c = M::load(group + (r * steps + s) * C);
            for (int k = 0; k < QV; ++k) acc[r][k] = M::dot(acc[r][k], c, w[k]);
        }
    }
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t at = r * L;
        if (at >= n) break;
        for (int k = 0; k < QV; ++k) {
            if (at + L <= n) {
                M::store(acc[r][k], bias[v + k], out[v + k] + base + at);
            } else {
                std::int32_t t[L];
                M::store(acc[r][k], bias[v + k], t);
                for (std::size_t i = 0; at + i < n; ++i) out[v + k][base + at + i] = t[i];
            }
        }
    }
}

// A block's bytes [j, j + width) of a row, or the bytes left before cols and zeros after them,
// through `buf` (width bytes): no byte past cols is read.
[[gnu::always_inline]] inline const std::int8_t* row_bytes(const std::int8_t* row, std::size_t j, std::size_t cols,
                                                           std::size_t width, std::int8_t* buf) {
    if (j + width <= cols) return row + j;
    for (std::size_t k = 0; k < width; ++k) buf[k] = j + k < cols ? row[j + k] : std::int8_t{0};
    return buf;
}

template <class M>
void int8_many(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
               const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    constexpr std::size_t L = M::kLanes, R = M::kChunks, Q = M::kVecs;
    static_assert(R * L * sizeof(typename M::Elem) <= kInt8ManyGroupBytes, "int8_many_scratch would be short");
    const std::size_t steps = (cols + M::kStep - 1) / M::kStep;
    auto* group = static_cast<typename M::Elem*>(scratch);
    auto* bias = reinterpret_cast<std::int32_t*>(group + group_elems<M>(steps));
    const std::size_t padded = int8_padded(cols);
    for (std::size_t v = 0; v < nq; ++v) bias[v] = M::bias(q[v], padded);
    for (std::size_t base = 0; base < count; base += R * L) {
        const std::size_t n = std::min(R * L, count - base);
        const std::int8_t* rows = codes + base * stride;
        // The group after the next one, as far as lines go (the hardware prefetchers follow too).
        const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(rows + 2 * R * L * stride) & ~std::uintptr_t{63};
        Ahead ahead{reinterpret_cast<const std::int8_t*>(from), rows + 2 * R * L * stride + n * stride};
        for (std::size_t r = 0; r < R; ++r) {
            const std::size_t have = n > r * L ? std::min(L, n - r * L) : 0;
            typename M::Elem* chunk = group + r * steps * L * M::kStep;
            if constexpr (requires { M::interleave(rows, have, stride, cols, steps, chunk); })
                M::interleave(rows + r * L * stride, have, stride, cols, steps, chunk);
            else
                interleave_plain<M>(rows + r * L * stride, have, stride, cols, steps, chunk);
        }
        std::size_t v = 0;
        for (; v + Q <= nq; v += Q) many_vectors<M, static_cast<int>(Q)>(group, steps, q, bias, out, v, base, n, ahead);
        for (; v < nq; ++v) many_vectors<M, 1>(group, steps, q, bias, out, v, base, n, ahead);
        while (ahead.at < ahead.end) ahead.step();
    }
}

}  // namespace
}  // namespace tarnexa::kernels
