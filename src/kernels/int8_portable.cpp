// Portable int8 kernel: plain integer arithmetic, eight bytes of a row per block.
#include <cstring>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

struct Int8Portable {
    static constexpr int kRows = 1;
    static constexpr std::size_t kBytes = 8;
    struct Row { std::int8_t b[kBytes]; };
    using Acc = std::int32_t;
    [[gnu::always_inline]] static Acc zero() { return 0; }
    [[gnu::always_inline]] static Row load_row(const std::int8_t* p) {
        Row r;
        std::memcpy(r.b, p, kBytes);
        return r;
    }
    [[gnu::always_inline]] static Row load_row_first(std::size_t n, const std::int8_t* p) {
        Row r{};
        std::memcpy(r.b, p, n);
        return r;
    }
    [[gnu::always_inline]] static Acc dot(Acc acc, Row x, const std::int8_t* q) {
        for (std::size_t k = 0; k < kBytes; ++k) acc += std::int32_t{x.b[k]} * std::int32_t{q[k]};
        return acc;
    }
    [[gnu::always_inline]] static std::int32_t total(Acc a) { return a; }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

// The interleaved kernel in plain integers: four rows by four codes a step.
struct Int8ManyPortable {
    static constexpr std::size_t kLanes = 4, kStep = 4, kChunks = 2, kVecs = 2;
    using Elem = std::int8_t;
    using Chunk = const std::int8_t*;
    struct Word { std::int8_t b[kStep]; };
    struct Acc { std::int32_t v[kLanes]; };
    [[gnu::always_inline]] static Elem encode(std::int8_t c) { return c; }
    [[gnu::always_inline]] static Chunk load(const Elem* p) { return p; }
    [[gnu::always_inline]] static Word word(const std::int8_t* q) {
        Word w;
        std::memcpy(w.b, q, kStep);
        return w;
    }
    [[gnu::always_inline]] static Acc zero() { return {}; }
    [[gnu::always_inline]] static Acc dot(Acc acc, Chunk c, Word w) {
        for (std::size_t lane = 0; lane < kLanes; ++lane)
            for (std::size_t k = 0; k < kStep; ++k) acc.v[lane] += std::int32_t{c[lane * kStep + k]} * std::int32_t{w.b[k]};
        return acc;
    }
    [[gnu::always_inline]] static void store(Acc acc, std::int32_t bias, std::int32_t* out) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) out[lane] = acc.v[lane] - bias;
    }
    [[gnu::always_inline]] static std::int32_t bias(const std::int8_t*, std::size_t) { return 0; }
};

}  // namespace

void int8_dot_rows_portable(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                            std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                            std::int32_t* const* out) {
    int8_run_any<Int8Portable>(codes, stride, cols, count, listed, q, nq, out);
}


void int8_dot_many_portable(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                            const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) {
    int8_many<Int8ManyPortable>(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
