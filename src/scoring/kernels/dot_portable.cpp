// Portable row kernel for CPUs without AVX2. Matrix elements are read with memcpy, so rows at any
// byte address are fine; eight independent accumulators per vector keep the adds pipelined and
// let the compiler use whatever vector registers the baseline target has.
#include <cstring>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 8;

template <int NV>
void row_dot(const std::byte* row, std::size_t cols, const float* const* vecs, float* res) {
    float acc[NV][kLanes] = {};
    std::size_t j = 0;
    for (; j + kLanes <= cols; j += kLanes) {
        float x[kLanes];
        std::memcpy(x, row + j * sizeof(float), sizeof x);
        for (int v = 0; v < NV; ++v) {
            const float* w = vecs[v] + j;
            for (std::size_t k = 0; k < kLanes; ++k) acc[v][k] += x[k] * w[k];
        }
    }
    for (std::size_t k = 0; j < cols; ++j, ++k) {
        float x;
        std::memcpy(&x, row + j * sizeof(float), sizeof x);
        for (int v = 0; v < NV; ++v) acc[v][k] += x * vecs[v][j];
    }
    for (int v = 0; v < NV; ++v) {
        const float* a = acc[v];
        res[v] = ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
    }
}

template <int NV>
void run(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
         const float* const* vecs, float* const* out) {
    if (row_index) prefetch_rows(m, row_index, 0, kPrefetchRows, count);
    for (std::size_t i = 0; i < count; ++i) {
        if (row_index) prefetch_rows(m, row_index, i + kPrefetchRows, i + kPrefetchRows + 1, count);
        float res[NV];
        row_dot<NV>(row_at(m, row_index, i), m.cols, vecs, res);
        for (int v = 0; v < NV; ++v) out[v][i] = res[v];
    }
}

}  // namespace

void dot_rows_portable(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                       const float* const* vecs, std::size_t nvec, float* const* out) {
    switch (nvec) {
        case 1: run<1>(m, row_index, count, vecs, out); break;
        case 2: run<2>(m, row_index, count, vecs, out); break;
        default: run<3>(m, row_index, count, vecs, out); break;
    }
}

}  // namespace tarnexa::kernels
