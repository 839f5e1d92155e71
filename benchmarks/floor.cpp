// Single-core memory floor: one streaming SIMD read of a float32 buffer.
//
// The benchmarks compile this file at run time with -O3 -march=native and load it with ctypes.
// floor_sum reads every element once and sums them with eight independent accumulators, so the
// time it takes is the time one core needs to pull the data through the cache hierarchy: the
// least any scan of the same matrix can cost.
#include <cstddef>
#include <cstdint>

#if defined(__AVX512F__) || defined(__AVX2__)
#include <immintrin.h>
#endif

namespace {

#if defined(__AVX512F__)
constexpr const char* kIsa = "avx512";
constexpr std::size_t kLanes = 16;
using Vec = __m512;
inline Vec zero() { return _mm512_setzero_ps(); }
inline Vec load(const float* p) { return _mm512_loadu_ps(p); }
inline Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
inline float hsum(Vec a) { return _mm512_reduce_add_ps(a); }
#elif defined(__AVX2__)
constexpr const char* kIsa = "avx2";
constexpr std::size_t kLanes = 8;
using Vec = __m256;
inline Vec zero() { return _mm256_setzero_ps(); }
inline Vec load(const float* p) { return _mm256_loadu_ps(p); }
inline Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
inline float hsum(Vec a) {
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}
#else
constexpr const char* kIsa = "scalar";
constexpr std::size_t kLanes = 1;
using Vec = float;
inline Vec zero() { return 0.0f; }
inline Vec load(const float* p) { return *p; }
inline Vec add(Vec a, Vec b) { return a + b; }
inline float hsum(Vec a) { return a; }
#endif

// Eight independent sums, so the adds never wait for each other and the loads run back to back.
struct Sums {
    Vec a[8] = {zero(), zero(), zero(), zero(), zero(), zero(), zero(), zero()};
    float tail = 0.0f;

    void run(const float* p, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 * kLanes <= n; i += 8 * kLanes)
            for (int k = 0; k < 8; ++k) a[k] = add(a[k], load(p + i + k * kLanes));
        for (; i + kLanes <= n; i += kLanes) a[0] = add(a[0], load(p + i));
        for (; i < n; ++i) tail += p[i];
    }

    double total() const {
        Vec s = zero();
        for (int k = 0; k < 8; ++k) s = add(s, a[k]);
        return static_cast<double>(hsum(s)) + tail;
    }
};

}  // namespace

extern "C" {

// The instruction set the read loop was compiled for.
__attribute__((visibility("default"))) const char* floor_isa() { return kIsa; }

// Sums rows x cols float32 values: row r starts row_stride bytes after row r - 1 and its cols
// values are contiguous. A C-contiguous buffer is read as one run, from the first 64-byte
// boundary on. row_stride must be a multiple of 4 (any float32 NumPy view whose last axis is
// contiguous).
__attribute__((visibility("default"))) double floor_sum(const float* data, std::size_t rows, std::size_t cols,
                                                        std::ptrdiff_t row_stride) {
    Sums s;
    if (rows == 0 || cols == 0) return 0.0;
    if (row_stride == static_cast<std::ptrdiff_t>(cols * sizeof(float))) {
        std::size_t n = rows * cols;
        while (n != 0 && (reinterpret_cast<std::uintptr_t>(data) & 63) != 0) {
            s.tail += *data++;
            --n;
        }
        s.run(data, n);
        return s.total();
    }
    const std::ptrdiff_t step = row_stride / static_cast<std::ptrdiff_t>(sizeof(float));
    for (std::size_t r = 0; r < rows; ++r) s.run(data + static_cast<std::ptrdiff_t>(r) * step, cols);
    return s.total();
}

}  // extern "C"
