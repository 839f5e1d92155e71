#include "native/hashed/embed.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "native/hashed/crc32.hpp"

namespace tarnexa::native::hashed {
namespace {

// ---- words ----

enum Kind : unsigned char { kOther, kLower, kUpper, kDigit };

constexpr std::array<Kind, 128> kKinds = [] {
    std::array<Kind, 128> k{};
    for (int c = 'a'; c <= 'z'; ++c) k[c] = kLower;
    for (int c = 'A'; c <= 'Z'; ++c) k[c] = kUpper;
    for (int c = '0'; c <= '9'; ++c) k[c] = kDigit;
    return k;
}();

template <class Unit>
inline Kind kind_of(Unit c) noexcept {
    return c < 128 ? kKinds[c] : kOther;
}

// Up to eight bytes as one number, the first in the lowest byte; none of the bytes here is 0, so
// strings of different lengths never share a number.
inline std::uint64_t packed(const char* s, std::size_t n) noexcept {
    std::uint64_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
    return k;
}

constexpr std::string_view kStopWords[] = {
    "a",     "an",  "and",  "are",  "as",   "at",    "be",    "been",  "but",  "by",   "can",  "do",  "does",
    "for",   "from", "has", "have", "if",   "in",    "into",  "is",    "it",   "its",  "may",  "must", "not",
    "of",    "on",  "or",   "so",   "such", "than",  "that",  "the",   "their", "then", "there", "these",
    "this",  "to",  "was",  "were", "when", "which", "while", "will",  "with", "would", "you",  "your"};
constexpr std::size_t kLongestStopWord = 5;

constexpr auto kStopKeys = [] {
    std::array<std::uint64_t, std::size(kStopWords)> keys{};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (std::size_t j = 0; j < kStopWords[i].size(); ++j)
            keys[i] |= std::uint64_t{static_cast<unsigned char>(kStopWords[i][j])} << (8 * j);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}();

inline bool is_stop_word(const char* w, std::size_t n) noexcept {
    return n <= kLongestStopWord && std::binary_search(kStopKeys.begin(), kStopKeys.end(), packed(w, n));
}

// The length of a word cut by the suffix stripper: a word of five letters or more loses its
// longest ending of "ing", "ed", "es", "ly", "e" and "s".
inline std::size_t stemmed_length(const char* w, std::size_t n) noexcept {
    if (n <= 4) return n;
    const auto ends = [&](std::string_view s) { return std::memcmp(w + n - s.size(), s.data(), s.size()) == 0; };
    if (ends("ing")) return n - 3;
    if (ends("ed") || ends("es") || ends("ly")) return n - 2;
    if (ends("e") || ends("s")) return n - 1;
    return n;
}

// ---- a table of entry numbers ----

// Entry numbers by a 64-bit key: open addressing, linear probing, at most half full. Emptied
// for each text by moving to a new generation rather than by clearing its slots.
class Table {
public:
    Table() { resize(10); }

    void clear() noexcept {
        if (++generation_ == 0) {
            for (Slot& s : slots_) s.generation = 0;
            generation_ = 1;
        }
        size_ = 0;
    }

    // The number held for key (one of those `same` accepts, for a key that may be shared), or
    // fresh, then held for it.
    template <class Same>
    std::uint32_t find_or_add(std::uint64_t key, std::uint32_t fresh, Same&& same) {
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.generation != generation_) {
                s = {key, fresh, generation_};
                if (++size_ * 2 > slots_.size()) grow();
                return fresh;
            }
            if (s.key == key && same(s.value)) return s.value;
        }
    }

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t value;
        std::uint32_t generation;
    };

    std::size_t home(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void resize(unsigned bits) {
        slots_.assign(std::size_t{1} << bits, Slot{0, 0, 0});
        mask_ = slots_.size() - 1;
        shift_ = 64 - bits;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        resize(static_cast<unsigned>(64 - shift_ + 1));
        for (const Slot& s : old) {
            if (s.generation != generation_) continue;
            std::size_t i = home(s.key);
            while (slots_[i].generation == generation_) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 0;
    std::uint32_t generation_ = 1;
    std::size_t size_ = 0;
};

// ---- the rows ----

__extension__ typedef unsigned __int128 Wide;

class Embedder {
public:
    explicit Embedder(std::size_t dims)
        : dims_(dims),
          fastmod_(dims <= 0xFFFFFFFFu ? std::numeric_limits<std::uint64_t>::max() / dims + 1 : 0),
          sums_(dims, 0.0),
          word_(crc32_extend(kCrcStart, "w ", 2)),
          gram_(crc32_extend(kCrcStart, "g ", 2)),
          pair_(crc32_extend(kCrcStart, "p ", 2)) {}

    void row(const Text& text, float* out) {
        chars_.clear();
        words_.clear();
        sequence_.clear();
        features_.clear();
        word_table_.clear();
        feature_table_.clear();
        switch (text.width) {
            case 1: read(static_cast<const std::uint8_t*>(text.data), text.length); break;
            case 2: read(static_cast<const std::uint16_t*>(text.data), text.length); break;
            default: read(static_cast<const std::uint32_t*>(text.data), text.length); break;
        }
        weigh();
        std::fill(out, out + dims_, 0.0f);
        // As np.bincount sums them: each feature in turn into its bucket, from 0.0.
        for (const Feature& f : features_) sums_[bucket(f.crc)] += f.crc & 0x80000000u ? f.value : -f.value;
        for (const Feature& f : features_) out[bucket(f.crc)] = static_cast<float>(sums_[bucket(f.crc)]);
        for (const Feature& f : features_) sums_[bucket(f.crc)] = 0.0;
    }

private:
    struct Word {
        std::size_t start, size;  // in chars_
        std::uint64_t count;
        std::uint32_t crc;  // of "w WORD"
    };
    struct Feature {
        std::uint32_t crc;
        double value;
    };

    // crc % dims, by Lemire's multiply-and-shift for 32-bit operands (exact for every crc).
    std::size_t bucket(std::uint32_t crc) const noexcept {
        if (fastmod_ == 0) return crc;  // dims past 2**32: crc < dims
        return static_cast<std::size_t>((static_cast<Wide>(fastmod_ * crc) * dims_) >> 64);
    }

    // The tokens of a text, as the tokens pattern finds them from left to right.
    template <class Unit>
    void read(const Unit* s, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            const Kind k = kind_of(s[i]);
            if (k == kOther) {
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            if (k == kUpper) {
                while (end < n && kind_of(s[end]) == kUpper) ++end;
                if (end < n && kind_of(s[end]) == kLower) {
                    if (end - i == 1) {
                        while (end < n && kind_of(s[end]) == kLower) ++end;  // "Server"
                    } else {
                        --end;  // "HTTPServer": the capitals but the last, which starts "Server"
                    }
                }
            } else {
                while (end < n && kind_of(s[end]) == k) ++end;
            }
            add_token(s + i, end - i);
            i = end;
        }
    }

    // A token lower-cased, left out if a stop word, else stemmed and counted.
    template <class Unit>
    void add_token(const Unit* s, std::size_t n) {
        const std::size_t start = chars_.size();
        chars_.resize(start + n);
        char* w = chars_.data() + start;
        for (std::size_t j = 0; j < n; ++j) w[j] = static_cast<char>(kind_of(s[j]) == kUpper ? s[j] | 0x20 : s[j]);
        if (is_stop_word(w, n)) {
            chars_.resize(start);
            return;
        }
        n = stemmed_length(w, n);
        chars_.resize(start + n);
        w = chars_.data() + start;
        const std::uint32_t crc = crc32_final(crc32_extend(word_, w, n));
        const auto fresh = static_cast<std::uint32_t>(words_.size());
        if (fresh == std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many distinct words");
        const std::uint32_t id = word_table_.find_or_add(crc ^ (std::uint64_t{n} << 32), fresh, [&](std::uint32_t at) {
            const Word& o = words_[at];
            return o.size == n && std::memcmp(chars_.data() + o.start, w, n) == 0;
        });
        if (id == fresh) {
            words_.push_back({start, n, 1, crc});
        } else {
            ++words_[id].count;
            chars_.resize(start);
        }
        sequence_.push_back(id);
    }

    // The features of the words read, weighed, in the order the Python form's dict held them.
    void weigh() {
        for (const Word& w : words_) {
            const double factor = 1.0 + std::log(static_cast<double>(w.count));
            push(w.crc, factor);  // "w WORD" is met once: each word is taken once
            padded_.assign(1, '<');
            padded_.append(chars_, w.start, w.size);
            padded_ += '>';
            const std::size_t size = padded_.size();             // 3 or more
            const double value = 0.5 / static_cast<double>((size - 2) + (size - 3)) * factor;
            for (std::size_t n = 3; n <= 4; ++n) {
                for (std::size_t j = 0; j + n <= size; ++j) {
                    const char* g = padded_.data() + j;
                    add(packed(g, n), value, [&] { return crc32_final(crc32_extend(gram_, g, n)); });
                }
            }
        }
        // A pair's key has a word number + 1 in its high half, which no gram's has.
        for (std::size_t i = 1; i < sequence_.size(); ++i) {
            const Word &a = words_[sequence_[i - 1]], &b = words_[sequence_[i]];
            const std::uint64_t key = std::uint64_t{sequence_[i - 1] + 1} << 32 | sequence_[i];
            add(key, 0.5, [&] {
                std::uint32_t reg = crc32_extend(pair_, chars_.data() + a.start, a.size);
                reg = crc32_extend(reg, " ", 1);
                return crc32_final(crc32_extend(reg, chars_.data() + b.start, b.size));
            });
        }
    }

    void push(std::uint32_t crc, double value) {
        if (features_.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
            throw std::length_error("too many distinct features");
        features_.push_back({crc, value});
    }

    template <class Crc>
    void add(std::uint64_t key, double value, Crc&& crc) {
        const auto fresh = static_cast<std::uint32_t>(features_.size());
        const std::uint32_t at = feature_table_.find_or_add(key, fresh, [](std::uint32_t) { return true; });
        if (at == fresh)
            push(crc(), value);
        else
            features_[at].value += value;
    }

    const std::size_t dims_;
    const std::uint64_t fastmod_;
    std::vector<double> sums_;  // all 0.0 between rows
    const std::uint32_t word_, gram_, pair_;  // the CRC registers after "w ", "g " and "p "
    std::string chars_;                       // the distinct words, back to back
    std::vector<Word> words_;
    std::vector<std::uint32_t> sequence_;  // the text's words, as numbers into words_
    std::vector<Feature> features_;
    Table word_table_, feature_table_;
    std::string padded_;
};

}  // namespace

void embed(std::span<const Text> texts, std::size_t dims, float* out) {
    if (texts.empty()) return;
    Embedder e(dims);
    for (std::size_t i = 0; i < texts.size(); ++i) e.row(texts[i], out + i * dims);
}

}  // namespace tarnexa::native::hashed
