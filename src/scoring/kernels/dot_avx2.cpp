// AVX2 row kernel: 8 floats per register, four rows per pass, every query vector in the same pass
// so each matrix row is read once. Loads are unaligned; the last partial register of a row uses
// vmaskmovps, which never touches (or faults on) the masked-off bytes past the row.
#include <immintrin.h>

#include "scoring/kernels/dot_kernels.hpp"

namespace tarnexa::kernels {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kRowsPerPass = 4;
// Loading 8 ints at kTailMask + 8 - n gives a mask selecting the first n lanes.
alignas(64) constexpr int kTailMask[2 * kLanes] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   0,  0,  0,  0,  0,  0,  0,  0};

inline __m256 load_row(const std::byte* p) {
    return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
}

// Horizontal sum of the 8 lanes.
inline float reduce_add(__m256 s) {
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

// res[v][r] = dot(rows[r], vecs[v]) for R rows and NV vectors over `cols` columns. U column blocks
// are unrolled so that even a single vector keeps 2 * R independent FMA chains in flight.
template <int R, int NV, int U>
inline void dot_block(const std::byte* const* rows, std::size_t cols, const float* const* vecs,
                      float (*res)[kRowsPerPass]) {
    __m256 acc[U][R][NV];
    for (int u = 0; u < U; ++u)
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v) acc[u][r][v] = _mm256_setzero_ps();

    std::size_t j = 0;
    for (; j + U * kLanes <= cols; j += U * kLanes) {
        for (int u = 0; u < U; ++u) {
            const std::size_t c = j + u * kLanes;
            __m256 x[R];
            for (int r = 0; r < R; ++r) x[r] = load_row(rows[r] + c * sizeof(float));
            for (int v = 0; v < NV; ++v) {
                const __m256 w = _mm256_loadu_ps(vecs[v] + c);
                for (int r = 0; r < R; ++r) acc[u][r][v] = _mm256_fmadd_ps(x[r], w, acc[u][r][v]);
            }
        }
    }
    if constexpr (U > 1) {
        for (; j + kLanes <= cols; j += kLanes) {
            __m256 x[R];
            for (int r = 0; r < R; ++r) x[r] = load_row(rows[r] + j * sizeof(float));
            for (int v = 0; v < NV; ++v) {
                const __m256 w = _mm256_loadu_ps(vecs[v] + j);
                for (int r = 0; r < R; ++r) acc[0][r][v] = _mm256_fmadd_ps(x[r], w, acc[0][r][v]);
            }
        }
    }
    if (j < cols) {
        // Masked-off lanes load as 0 from both operands, so they add +0 and cannot fault.
        const __m256i k = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(kTailMask + kLanes - (cols - j)));
        __m256 x[R];
        for (int r = 0; r < R; ++r)
            x[r] = _mm256_maskload_ps(reinterpret_cast<const float*>(rows[r] + j * sizeof(float)), k);
        for (int v = 0; v < NV; ++v) {
            const __m256 w = _mm256_maskload_ps(vecs[v] + j, k);
            for (int r = 0; r < R; ++r) acc[0][r][v] = _mm256_fmadd_ps(x[r], w, acc[0][r][v]);
        }
    }

    for (int r = 0; r < R; ++r) {
        for (int v = 0; v < NV; ++v) {
            __m256 s = acc[0][r][v];
            for (int u = 1; u < U; ++u) s = _mm256_add_ps(s, acc[u][r][v]);
            res[v][r] = reduce_add(s);
        }
    }
}

template <int NV>
void run(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
         const float* const* vecs, float* const* out) {
    constexpr int U = NV == 1 ? 2 : 1;
    const float* v[NV];
    for (int k = 0; k < NV; ++k) v[k] = vecs[k];
    float res[NV][kRowsPerPass];

    if (row_index) prefetch_rows(m, row_index, 0, kPrefetchRows, count);
    std::size_t i = 0;
    for (; i + kRowsPerPass <= count; i += kRowsPerPass) {
        if (row_index) {
            const std::size_t ahead = i + kPrefetchRows;
            prefetch_rows(m, row_index, ahead, ahead + kRowsPerPass, count);
        }
        const std::byte* rows[kRowsPerPass];
        for (std::size_t r = 0; r < kRowsPerPass; ++r) rows[r] = row_at(m, row_index, i + r);
        dot_block<kRowsPerPass, NV, U>(rows, m.cols, v, res);
        for (int k = 0; k < NV; ++k)
            for (std::size_t r = 0; r < kRowsPerPass; ++r) out[k][i + r] = res[k][r];
    }
    for (; i < count; ++i) {
        const std::byte* row = row_at(m, row_index, i);
        dot_block<1, NV, U>(&row, m.cols, v, res);
        for (int k = 0; k < NV; ++k) out[k][i] = res[k][0];
    }
}

}  // namespace

void dot_rows_avx2(const RowsView& m, const std::uint64_t* row_index, std::size_t count,
                   const float* const* vecs, std::size_t nvec, float* const* out) {
    switch (nvec) {
        case 1: run<1>(m, row_index, count, vecs, out); break;
        case 2: run<2>(m, row_index, count, vecs, out); break;
        default: run<3>(m, row_index, count, vecs, out); break;
    }
}

}  // namespace tarnexa::kernels
