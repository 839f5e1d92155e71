#include "kernels/int8.hpp"

#include "kernels/int8_kernels.hpp"

#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace tarnexa::kernels {
namespace {

using Int8Kernel = void (*)(const std::int8_t*, std::size_t, std::size_t, std::size_t, const std::size_t*,
                            const std::int8_t* const*, std::size_t, std::int32_t* const*);

Int8Kernel int8_kernel_for(Isa isa) noexcept;
const Int8Kernel& best_kernel() noexcept {
    static const Int8Kernel kernel = int8_kernel_for(int8_best_isa());
    return kernel;
}

Isa detect_int8() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return Isa::portable;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vnni"))
        return Isa::avx512;
    return Isa::avx2;
#elif defined(__aarch64__) && defined(__linux__)
    // NEON is part of every 64-bit ARM CPU; the dot product (sdot) of many since ARMv8.2.
    return (getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0 ? Isa::neon_sdot : Isa::neon;
#elif defined(__aarch64__)
    return Isa::neon;  // the dot product is not looked for outside Linux
#else
    return Isa::portable;
#endif
}

Int8Kernel int8_kernel_for(Isa isa) noexcept {
    if (!int8_isa_supported(isa)) isa = int8_best_isa();
    switch (isa) {
#if defined(__x86_64__) || defined(__i386__)
        case Isa::avx512: return &int8_dot_rows_vnni;
        case Isa::avx2: return &int8_dot_rows_avx2;
#endif
#if defined(__aarch64__)
        case Isa::neon: return &int8_dot_rows_neon;
        case Isa::neon_sdot: return &int8_dot_rows_sdot_neon;
#endif
        default: return &int8_dot_rows_portable;
    }
}

}  // namespace

Isa int8_best_isa() noexcept {
    static const Isa isa = detect_int8();
    return isa;
}

bool avx512_dq_vl_supported() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool int8_isa_supported(Isa isa) noexcept {
    const Isa best = int8_best_isa();
    switch (isa) {
        case Isa::portable: return true;
        case Isa::avx2: return best == Isa::avx2 || best == Isa::avx512;
        case Isa::avx512: return best == Isa::avx512;
        case Isa::neon: return best == Isa::neon || best == Isa::neon_sdot;
        case Isa::neon_sdot: return best == Isa::neon_sdot;
    }
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

}  // namespace tarnexa::kernels
