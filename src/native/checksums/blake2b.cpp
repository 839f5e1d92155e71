#include "native/checksums/blake2b.hpp"

#include <cstring>

namespace tarnexa::native::checksums {
namespace {

constexpr std::array<std::uint64_t, 8> kIv = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};

constexpr std::uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

constexpr std::uint64_t rotr(std::uint64_t x, int n) noexcept { return (x >> n) | (x << (64 - n)); }

std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];  // little-endian whatever the host
    return v;
}

}  // namespace

Blake2b::Blake2b(std::size_t digest_size) noexcept : h_(kIv), size_(digest_size) {
    h_[0] ^= 0x01010000ull ^ static_cast<std::uint64_t>(digest_size);  // fanout 1, depth 1, no key
}

void Blake2b::compress(bool last) noexcept {
    std::uint64_t m[16], v[16];
    for (int i = 0; i < 16; ++i) m[i] = load64(block_.data() + 8 * i);
    for (int i = 0; i < 8; ++i) {
        v[i] = h_[i];
        v[i + 8] = kIv[i];
    }
    v[12] ^= count_[0];
    v[13] ^= count_[1];
    if (last) v[14] = ~v[14];
    auto g = [&](int a, int b, int c, int d, std::uint64_t x, std::uint64_t y) {
        v[a] = v[a] + v[b] + x;
        v[d] = rotr(v[d] ^ v[a], 32);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 24);
        v[a] = v[a] + v[b] + y;
        v[d] = rotr(v[d] ^ v[a], 16);
        v[c] = v[c] + v[d];
        v[b] = rotr(v[b] ^ v[c], 63);
    };
    for (const auto& s : kSigma) {
        g(0, 4, 8, 12, m[s[0]], m[s[1]]);
        g(1, 5, 9, 13, m[s[2]], m[s[3]]);
        g(2, 6, 10, 14, m[s[4]], m[s[5]]);
        g(3, 7, 11, 15, m[s[6]], m[s[7]]);
        g(0, 5, 10, 15, m[s[8]], m[s[9]]);
        g(1, 6, 11, 12, m[s[10]], m[s[11]]);
        g(2, 7, 8, 13, m[s[12]], m[s[13]]);
        g(3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) h_[i] ^= v[i] ^ v[i + 8];
}

void Blake2b::update(const void* data, std::size_t size) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (filled_ == block_.size()) {  // a full block is compressed only once more input follows
            count_[0] += block_.size();
            if (count_[0] < block_.size()) ++count_[1];
            compress(false);
            filled_ = 0;
        }
        const std::size_t take = std::min(size, block_.size() - filled_);
        std::memcpy(block_.data() + filled_, p, take);
        filled_ += take;
        p += take;
        size -= take;
    }
}

void Blake2b::finish(std::uint8_t* out) noexcept {
    count_[0] += filled_;
    if (count_[0] < filled_) ++count_[1];
    std::memset(block_.data() + filled_, 0, block_.size() - filled_);
    compress(true);
    for (std::size_t i = 0; i < size_; ++i) out[i] = static_cast<std::uint8_t>(h_[i / 8] >> (8 * (i % 8)));
}

}  // namespace tarnexa::native::checksums
