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
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/int8.hpp"

namespace tarnexa::kernels {

void int8_dot_rows_portable(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                            const std::int8_t* const*, std::size_t, std::int32_t* const*);
#if defined(__x86_64__) || defined(__i386__)
void int8_dot_rows_avx2(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                        const std::int8_t* const*, std::size_t, std::int32_t* const*);
void int8_dot_rows_vnni(const std::int8_t*, std::size_t, std::size_t, std::size_t,
                        const std::int8_t* const*, std::size_t, std::int32_t* const*);
#endif

namespace {

// Rows are read one after the other (a linear sweep the hardware prefetchers follow), each
// row's blocks once, against all NQ query vectors.
template <class T, int NQ>
void int8_run(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
              const std::int8_t* const* q, std::int32_t* const* out) {
    constexpr std::size_t B = T::kBytes;
    const std::size_t padded = int8_padded(cols);
    std::int32_t bias[NQ];
    for (int v = 0; v < NQ; ++v) bias[v] = T::bias(q[v], padded);
    const std::size_t body = cols - cols % B;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int8_t* row = codes + i * stride;
        typename T::Acc acc[NQ];
        for (int v = 0; v < NQ; ++v) acc[v] = T::zero();
        std::size_t j = 0;
        for (; j < body; j += B) {
            const typename T::Row x = T::load_row(row + j);
            for (int v = 0; v < NQ; ++v) acc[v] = T::dot(acc[v], x, q[v] + j);
        }
        if (j < cols) {
            const typename T::Row x = T::load_row_first(cols - j, row + j);
            for (int v = 0; v < NQ; ++v) acc[v] = T::dot(acc[v], x, q[v] + j);
        }
        for (int v = 0; v < NQ; ++v) out[v][i] = T::total(acc[v]) - bias[v];
    }
}

template <class T>
void int8_run_any(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                  const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out) {
    switch (nq) {
        case 1: int8_run<T, 1>(codes, stride, cols, count, q, out); break;
        case 2: int8_run<T, 2>(codes, stride, cols, count, q, out); break;
        case 3: int8_run<T, 3>(codes, stride, cols, count, q, out); break;
        case 4: int8_run<T, 4>(codes, stride, cols, count, q, out); break;
        case 5: int8_run<T, 5>(codes, stride, cols, count, q, out); break;
        default: int8_run<T, 6>(codes, stride, cols, count, q, out); break;
    }
}

}  // namespace
}  // namespace tarnexa::kernels
