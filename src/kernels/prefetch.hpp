// Software prefetch of a byte range: the one helper the kernels and the passes above them share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnexa::kernels {

// Requests each cache line that [p, p + bytes) touches, once, with the given locality hint (3:
// into the first-level cache, 2: into the second). Forced inline: GCC deems a function that only
// prefetches free of effects and deletes calls to it (its callers must be forced inline too).
template <int Locality = 3>
[[gnu::always_inline]] inline void prefetch_bytes(const void* p, std::size_t bytes) {
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    for (std::uintptr_t line = start & ~std::uintptr_t{63}; line < start + bytes; line += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(line), 0, Locality);
}

}  // namespace tarnexa::kernels
