// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320), by slicing-by-8 tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnexa::native::hashed {

// The running register: start from kCrcStart, extend it with each piece of the message, and
// crc32_final() of it is zlib.crc32 of the whole message.
inline constexpr std::uint32_t kCrcStart = 0xFFFFFFFFu;

std::uint32_t crc32_extend(std::uint32_t reg, const unsigned char* data, std::size_t size) noexcept;

inline std::uint32_t crc32_extend(std::uint32_t reg, const char* data, std::size_t size) noexcept {
    return crc32_extend(reg, reinterpret_cast<const unsigned char*>(data), size);
}

constexpr std::uint32_t crc32_final(std::uint32_t reg) noexcept { return reg ^ 0xFFFFFFFFu; }

}  // namespace tarnexa::native::hashed
