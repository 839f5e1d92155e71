#include "native/hashed/crc32.hpp"

#include <array>

namespace tarnexa::native::hashed {
namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// kTables[0] steps the register by one byte; kTables[k] by one byte followed by k zero bytes,
// so that eight bytes are taken in one step of eight independent look-ups.
constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (c & 1u ? 0xEDB88320u : 0u);
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    return t;
}
constexpr Tables kTables = make_tables();

inline std::uint32_t load32(const unsigned char* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

std::uint32_t crc32_extend(std::uint32_t reg, const unsigned char* p, std::size_t size) noexcept {
    const auto& t = kTables;
    for (; size >= 8; p += 8, size -= 8) {
        const std::uint32_t lo = load32(p) ^ reg, hi = load32(p + 4);
        reg = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    if (size >= 4) {
        const std::uint32_t w = load32(p) ^ reg;
        reg = t[3][w & 0xFFu] ^ t[2][(w >> 8) & 0xFFu] ^ t[1][(w >> 16) & 0xFFu] ^ t[0][w >> 24];
        p += 4;
        size -= 4;
    }
    for (; size; ++p, --size) reg = (reg >> 8) ^ t[0][(reg ^ *p) & 0xFFu];
    return reg;
}

}  // namespace tarnexa::native::hashed
