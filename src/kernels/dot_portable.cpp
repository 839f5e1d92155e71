// Portable row kernel for CPUs without AVX2. Matrix elements are read with memcpy, so rows at any
// byte address are fine; eight independent accumulators per vector keep the adds pipelined.
#include <cstring>

#include "kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

// Four floats in one (baseline SSE, or the target's equivalent) register; loaded with memcpy, so
// any byte address is fine.
typedef float f32x4 __attribute__((vector_size(16)));

inline f32x4 load4(const void* p) {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Two accumulators of four lanes per vector: eight independent sums.
template <int NV>
void row_dot(const std::byte* row, std::size_t cols, const float* const* vecs, float* res) {
    f32x4 acc0[NV] = {}, acc1[NV] = {};
    std::size_t j = 0;
    for (; j + 8 <= cols; j += 8) {
        const f32x4 x0 = load4(row + j * sizeof(float));
        const f32x4 x1 = load4(row + (j + 4) * sizeof(float));
        for (int v = 0; v < NV; ++v) {
            acc0[v] += x0 * load4(vecs[v] + j);
            acc1[v] += x1 * load4(vecs[v] + j + 4);
        }
    }
    float tail[NV] = {};
    for (; j < cols; ++j) {
        float x;
        std::memcpy(&x, row + j * sizeof(float), sizeof x);
        for (int v = 0; v < NV; ++v) tail[v] += x * vecs[v][j];
    }
    for (int v = 0; v < NV; ++v) {
        const f32x4 a = acc0[v] + acc1[v];
        res[v] = ((a[0] + a[2]) + (a[1] + a[3])) + tail[v];
    }
}

// Rows are read one after the other: with row_index == nullptr that is one linear sweep, which
// the hardware prefetchers follow; gathered rows are prefetched kPrefetchRows ahead.
constexpr std::size_t kPrefetchRows = 8;

template <int NV>
void run(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
         const float* const* vecs, float* const* out) {
    const std::size_t row_bytes = m.cols * sizeof(float);
    if (row_index)
        for (std::size_t i = 0; i < count && i < kPrefetchRows; ++i)
            prefetch_bytes(row_at(m, row_index, i), row_bytes);
    for (std::size_t i = 0; i < count; ++i) {
        if (row_index && i + kPrefetchRows < count)
            prefetch_bytes(row_at(m, row_index, i + kPrefetchRows), row_bytes);
        float res[NV];
        row_dot<NV>(row_at(m, row_index, i), m.cols, vecs, res);
        for (int v = 0; v < NV; ++v) out[v][i] = res[v];
    }
}

}  // namespace

void dot_rows_portable(const MatrixView& m, const std::uint64_t* row_index, std::size_t count,
                       const float* const* vecs, std::size_t nvec, float* const* out) {
    switch (nvec) {
        case 1: run<1>(m, row_index, count, vecs, out); break;
        case 2: run<2>(m, row_index, count, vecs, out); break;
        default: run<3>(m, row_index, count, vecs, out); break;
    }
}

}  // namespace tarnexa::kernels
