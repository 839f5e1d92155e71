// The CPU features the kernels are built for, detected once into a mask, and the kernels named by
// what they are built for: each states the features it needs, and a dispatch runs a kernel only on
// a CPU that has all of them. A leaf of the kernel library like dot.hpp.
#pragma once

#include <cstdint>

// The processor family the kernel files are built for: the x86 ones for x86 targets only, the
// NEON ones for 64-bit ARM only (CMakeLists.txt makes the same choice of files).
#if defined(__x86_64__) || defined(__i386__)
#define TARNEXA_KERNELS_X86 1
#else
#define TARNEXA_KERNELS_X86 0
#endif
#if defined(__aarch64__)
#define TARNEXA_KERNELS_NEON 1
#else
#define TARNEXA_KERNELS_NEON 0
#endif

namespace tarnexa::kernels {

using Features = std::uint32_t;
enum Feature : Features {
    kAvx2 = 1u << 0,
    kFma = 1u << 1,
    kAvx512f = 1u << 2,
    kAvx512bw = 1u << 3,
    kAvx512dq = 1u << 4,
    kAvx512vl = 1u << 5,
    kAvx512vnni = 1u << 6,
    kNeon = 1u << 7,
    kDotprod = 1u << 8,  // ARMv8.2 dot product (sdot)
};

// This CPU's features, detected on first use: on x86 by cpuid, an instruction set counting only
// when xgetbv shows that the operating system saves its registers; on 64-bit ARM NEON always (every
// such CPU has it) and the dot product from AT_HWCAP (Linux only).
Features cpu_features() noexcept;

// The kernels. avx512 is the float32 kernel's AVX-512 (F/BW/DQ/VL), avx512_vnni the int8 kernel's
// (VNNI's vpdpbusd); neon_sdot is an int8 kernel only.
enum class Isa { portable, avx2, avx512, avx512_vnni, neon, neon_sdot };

// The features a kernel's files are compiled for (CMakeLists.txt gives them the same flags).
constexpr Features isa_needs(Isa isa) noexcept {
    switch (isa) {
        case Isa::portable: return 0;
        case Isa::avx2: return kAvx2 | kFma;
        case Isa::avx512: return kAvx512f | kAvx512bw | kAvx512dq | kAvx512vl | kAvx2 | kFma;
        case Isa::avx512_vnni: return kAvx512f | kAvx512bw | kAvx512vl | kAvx512vnni | kAvx2;
        case Isa::neon: return kNeon;
        case Isa::neon_sdot: return kNeon | kDotprod;
    }
    return ~Features{0};
}

// True when this CPU has every feature isa needs.
bool cpu_runs(Isa isa) noexcept;
// "portable", "avx2", "avx512", "avx512-vnni", "neon" or "neon-sdot".
const char* isa_name(Isa isa) noexcept;

}  // namespace tarnexa::kernels
