#include "kernels/cpu.hpp"

#if TARNEXA_KERNELS_X86
#include <cpuid.h>
#endif
#if TARNEXA_KERNELS_NEON && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace tarnexa::kernels {
namespace {

#if TARNEXA_KERNELS_X86
// XCR0: the register state the operating system saves on a context switch.
std::uint64_t saved_state() noexcept {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#endif

Features detect() noexcept {
    Features f = 0;
#if TARNEXA_KERNELS_X86
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    const bool fma = (c & (1u << 12)) != 0, osxsave = (c & (1u << 27)) != 0, avx = (c & (1u << 28)) != 0;
    if (!osxsave || !avx || __get_cpuid_max(0, nullptr) < 7) return 0;
    const std::uint64_t xcr0 = saved_state();
    constexpr std::uint64_t kYmm = 0x6;     // SSE and AVX state
    constexpr std::uint64_t kZmm = 0xE6;    // and opmask, ZMM_Hi256, Hi16_ZMM
    if ((xcr0 & kYmm) != kYmm) return 0;
    __cpuid_count(7, 0, a, b, c, d);
    auto bit = [](unsigned reg, int n) { return (reg >> n & 1u) != 0; };
    if (bit(b, 5)) f |= kAvx2;
    if (fma) f |= kFma;
    if ((xcr0 & kZmm) == kZmm) {
        if (bit(b, 16)) f |= kAvx512f;
        if (bit(b, 17)) f |= kAvx512dq;
        if (bit(b, 30)) f |= kAvx512bw;
        if (bit(b, 31)) f |= kAvx512vl;
        if (bit(c, 11)) f |= kAvx512vnni;
    }
#elif TARNEXA_KERNELS_NEON
    f |= kNeon;
#if defined(__linux__)
    if ((getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0) f |= kDotprod;
#endif
#endif
    return f;
}

}  // namespace

Features cpu_features() noexcept {
    static const Features features = detect();
    return features;
}

bool cpu_runs(Isa isa) noexcept {
    const Features need = isa_needs(isa);
    return (cpu_features() & need) == need;
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::avx512_vnni: return "avx512-vnni";
        case Isa::neon: return "neon";
        case Isa::neon_sdot: return "neon-sdot";
    }
    return "unknown";
}

}  // namespace tarnexa::kernels
