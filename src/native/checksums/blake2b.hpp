// BLAKE2b (RFC 7693), unkeyed, of any digest length up to 64 bytes: the hash of the document
// store's checksums, equal byte for byte to Python's hashlib.blake2b(digest_size=n).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarnexa::native::checksums {

class Blake2b {
public:
    explicit Blake2b(std::size_t digest_size) noexcept;
    void update(const void* data, std::size_t size) noexcept;
    // The digest's first digest_size bytes into out; the object is spent.
    void finish(std::uint8_t* out) noexcept;

private:
    void compress(bool last) noexcept;
    std::array<std::uint64_t, 8> h_{};
    std::array<std::uint8_t, 128> block_{};
    std::size_t filled_ = 0;
    std::uint64_t count_[2] = {0, 0};  // bytes hashed, as a 128-bit number
    std::size_t size_;
};

}  // namespace tarnexa::native::checksums
