#include "kernels/int8.hpp"

#include <algorithm>
#include <limits>

#include "kernels/int8_kernels.hpp"

namespace tarnexa::kernels {
namespace {

using Int8Kernel = void (*)(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::size_t*,
                            const std::int8_t* const*, std::size_t, std::int32_t* const*);

Int8Kernel int8_kernel_for(Isa isa) noexcept;
const Int8Kernel& best_kernel() noexcept {
    static const Int8Kernel kernel = int8_kernel_for(int8_best_isa());
    return kernel;
}

Int8Kernel int8_kernel_for(Isa isa) noexcept {
    if (!int8_isa_supported(isa)) isa = int8_best_isa();
    switch (isa) {
#if TARNEXA_KERNELS_X86
        case Isa::avx512_vnni: return &int8_dot_rows_vnni;
        case Isa::avx2: return &int8_dot_rows_avx2;
#endif
#if TARNEXA_KERNELS_NEON
        case Isa::neon: return &int8_dot_rows_neon;
        case Isa::neon_sdot: return &int8_dot_rows_sdot_neon;
#endif
        default: return &int8_dot_rows_portable;
    }
}

Int8ManyKernel int8_many_for(Isa isa) noexcept {
    if (!int8_isa_supported(isa)) isa = int8_best_isa();
    switch (isa) {
#if TARNEXA_KERNELS_X86
        case Isa::avx512_vnni: return &int8_dot_many_vnni;
        case Isa::avx2: return &int8_dot_many_avx2;
#endif
#if TARNEXA_KERNELS_NEON
        case Isa::neon: return &int8_dot_many_neon;
        case Isa::neon_sdot: return &int8_dot_many_sdot_neon;
#endif
        default: return &int8_dot_many_portable;
    }
}

// The fewest vectors for which int8_dot_many interleaves the rows on each kernel; for fewer it
// runs the row kernel, two vectors a pass. With AVX-512 VNNI, 16 vectors cost 2.8 ns a row and
// vector interleaved against 5.4 by rows, 4 about the same (6.4 against 6.6); the AVX2 and plain
// NEON kernels multiply 16 codes an instruction when interleaved (widened to 16 bits) against 32
// and 16 by rows, and with AVX2 16 vectors took 18 ns against 10: they never interleave. Nor does
// the portable one (it gains nothing); sdot multiplies as many codes either way and saves the
// lane sums, as VNNI does.
std::size_t many_from(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512_vnni:
        case Isa::neon_sdot: return 5;
        default: return std::numeric_limits<std::size_t>::max();
    }
}

}  // namespace

Isa int8_best_isa() noexcept {
    static const Isa isa = [] {
        Isa best = Isa::portable;
        for (Isa i : kInt8Kernels)
            if (cpu_runs(i)) best = i;
        return best;
    }();
    return isa;
}

bool int8_isa_supported(Isa isa) noexcept {
    for (Isa i : kInt8Kernels)
        if (i == isa) return cpu_runs(isa);
    return false;
}

void int8_dot_rows(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                   const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out) noexcept {
    if (count == 0 || nq == 0) return;
    best_kernel()(codes, stride, cols, count, nullptr, q, nq, out);
}

void int8_dot_listed(const std::int8_t* codes, std::size_t stride, std::size_t cols, const std::size_t* rows,
                     std::size_t count, const std::int8_t* const* q, std::size_t nq,
                     std::int32_t* const* out) noexcept {
    if (count == 0 || nq == 0) return;
    best_kernel()(codes, stride, cols, count, rows, q, nq, out);
}

void int8_dot_rows_with(Isa isa, const std::int8_t* codes, std::size_t stride, std::size_t cols,
                        std::size_t count, const std::int8_t* const* q, std::size_t nq,
                        std::int32_t* const* out, const std::size_t* rows) noexcept {
    if (count == 0 || nq == 0) return;
    int8_kernel_for(isa)(codes, stride, cols, count, rows, q, nq, out);
}

void int8_dot_many(const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                   const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) noexcept {
    static const Int8ManyKernel kernel = int8_many_for(int8_best_isa());
    static const std::size_t from = many_from(int8_best_isa());
    if (count == 0 || nq == 0) return;
    if (nq >= from) return kernel(codes, stride, cols, count, q, nq, out, scratch);
    for (std::size_t v = 0; v < nq; v += 2)
        best_kernel()(codes, stride, cols, count, nullptr, q + v, std::min<std::size_t>(2, nq - v), out + v);
}

void int8_dot_many_with(Isa isa, const std::int8_t* codes, std::size_t stride, std::size_t cols, std::size_t count,
                        const std::int8_t* const* q, std::size_t nq, std::int32_t* const* out, void* scratch) noexcept {
    if (count == 0 || nq == 0) return;
    int8_many_for(isa)(codes, stride, cols, count, q, nq, out, scratch);
}

}  // namespace tarnexa::kernels
