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

}  // namespace

void int8_dot_rows_portable(const std::int8_t* codes, std::size_t stride, std::size_t cols,
                            std::size_t count, const std::size_t* listed, const std::int8_t* const* q, std::size_t nq,
                            std::int32_t* const* out) {
    int8_run_any<Int8Portable>(codes, stride, cols, count, listed, q, nq, out);
}

}  // namespace tarnexa::kernels
