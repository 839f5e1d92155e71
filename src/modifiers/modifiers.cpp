#include "modifiers/modifiers.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tarnexa::modifiers {
namespace {

using Byte = unsigned char;

// Class of a byte as the first byte of a character: 0 never starts white space, 1 is an
// ASCII white-space character, 2 may start a multi-byte one (lead bytes C2, E1, E2, E3).
constexpr auto kByteClass = [] {
    std::array<unsigned char, 256> t{};
    for (int b = 0x09; b <= 0x0D; ++b) t[b] = 1;
    t[0x20] = 1;
    t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = 2;
    return t;
}();

// Byte length of the white-space character starting at p, or 0 when the character
// there is not white space. Recognised (as UTF-8):
//   U+0009..U+000D, U+0020      09..0D, 20
//   U+0085, U+00A0              C2 85, C2 A0
//   U+1680                      E1 9A 80
//   U+2000..U+200A              E2 80 80..8A
//   U+2028, U+2029, U+202F      E2 80 A8, E2 80 A9, E2 80 AF
//   U+205F                      E2 81 9F
//   U+3000                      E3 80 80
// Every sequence starts with an ASCII or lead byte, so calling this at a continuation
// byte returns 0; scanning loops can therefore step byte by byte.
inline std::size_t ws_len(const char* p, const char* end) noexcept {
    const Byte b = static_cast<Byte>(p[0]);
    const unsigned cls = kByteClass[b];
    if (cls < 2) return cls;
    const std::ptrdiff_t avail = end - p;
    if (b == 0xC2) {
        if (avail < 2) return 0;
        const Byte c = static_cast<Byte>(p[1]);
        return (c == 0x85 || c == 0xA0) ? 2 : 0;
    }
    if (avail < 3) return 0;
    const Byte c1 = static_cast<Byte>(p[1]);
    const Byte c2 = static_cast<Byte>(p[2]);
    switch (b) {
        case 0xE1:
            return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (c1 == 0x80) return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
            return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;
        default:  // 0xE3
            return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
    }
}

std::string_view trim(std::string_view s) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    while (b < e) {
        const std::size_t n = ws_len(b, e);
        if (n == 0) break;
        b += n;
    }
    while (b < e) {
        // Step back to the first byte of the last character.
        const char* q = e - 1;
        while (q > b && (static_cast<Byte>(*q) & 0xC0) == 0x80) --q;
        const std::size_t n = ws_len(q, e);
        if (n == 0 || q + n != e) break;
        e = q;
    }
    return std::string_view(b, static_cast<std::size_t>(e - b));
}

// Position of the first stop keyword in r (a plain substring search; keywords may sit
// inside words), or r.size() when there is none. The earliest start wins, which is the
// same as taking the minimum of the first occurrence of each keyword.
std::size_t find_stop(std::string_view r) noexcept {
    const std::size_t n = r.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = r[i];
        if (c != 'd' && c != 'r' && c != 'u' && c != 'l') continue;
        const std::string_view t = r.substr(i);
        switch (c) {
            case 'd':
                if (t.starts_with("diverse") || t.starts_with("detect_communities")) return i;
                break;
            case 'r':
                if (t.starts_with("recent:")) return i;
                break;
            case 'u':
                if (t.starts_with("unlike:")) return i;
                break;
            default:  // 'l'
                if (t.starts_with("like:") || t.starts_with("limit:") ||
                    t.starts_with("local_communities"))
                    return i;
                break;
        }
    }
    return n;
}

// Optional sign, then one or more ASCII digits, nothing else. On success stores the
// magnitude and whether a '-' was given. Fails on overflow of 64 unsigned bits.
bool parse_magnitude(std::string_view t, bool& negative, std::uint64_t& magnitude) noexcept {
    std::size_t i = 0;
    negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        i = 1;
    }
    if (i == t.size()) return false;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t v = 0;
    for (; i < t.size(); ++i) {
        const unsigned d = static_cast<unsigned>(static_cast<Byte>(t[i])) - '0';
        if (d > 9) return false;
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    magnitude = v;
    return true;
}

std::optional<std::int64_t> parse_signed(std::string_view t) noexcept {
    bool negative;
    std::uint64_t v;
    if (!parse_magnitude(t, negative, v)) return std::nullopt;
    constexpr std::uint64_t max_pos = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (v > max_pos + (negative ? 1 : 0)) return std::nullopt;
    // Modular conversion (well defined since C++20) also covers -2^63.
    return negative ? static_cast<std::int64_t>(~v + 1) : static_cast<std::int64_t>(v);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view t) noexcept {
    bool negative;
    std::uint64_t v;
    if (!parse_magnitude(t, negative, v) || negative) return std::nullopt;
    return v;
}

// Token effects. Text values stay views into the scanned text until the scan is over,
// so a value overwritten by a later token costs nothing.
struct TokenEffects {
    Modifiers& out;
    std::optional<std::string_view> unlike;
    std::optional<std::string_view> like;

    void token(std::string_view t) noexcept {
        switch (t[0]) {
            case 'd':
                if (t == "diverse") out.diverse = true;
                else if (t == "detect_communities") out.local_communities = true;
                break;
            case 'r':
                if (t == "recent") {
                    out.recent = true;
                } else if (t.starts_with("recent:")) {
                    out.recent = true;
                    if (auto v = parse_signed(t.substr(7))) out.recent_days = v;
                }
                break;
            case 'u':
                if (t.starts_with("unlike:")) unlike = t.substr(7);
                break;
            case 'l':
                if (t.starts_with("limit:")) {
                    if (auto v = parse_unsigned(t.substr(6))) out.limit = v;
                } else if (t.starts_with("like:")) {
                    like = t.substr(5);
                } else if (t == "local_communities") {
                    out.local_communities = true;
                }
                break;
            default:
                break;
        }
    }

    void run(std::string_view s) noexcept {
        const char* p = s.data();
        const char* const end = p + s.size();
        while (p < end) {
            const std::size_t n = ws_len(p, end);
            if (n != 0) {
                p += n;
                continue;
            }
            const char* const start = p;
            ++p;  // the first byte is not white space
            while (p < end && (kByteClass[static_cast<Byte>(*p)] == 0 || ws_len(p, end) == 0)) ++p;
            token(std::string_view(start, static_cast<std::size_t>(p - start)));
        }
    }

    void finish() {
        if (unlike) out.unlike.emplace(*unlike);
        if (like) {
            std::string_view rest = *like;
            auto& pieces = out.like.emplace();
            pieces.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
            for (;;) {
                const std::size_t comma = rest.find(',');
                if (comma == std::string_view::npos) {
                    pieces.emplace_back(rest);
                    break;
                }
                pieces.emplace_back(rest.substr(0, comma));
                rest.remove_prefix(comma + 1);
            }
        }
    }
};

}  // namespace

bool white_space_at(std::string_view s, std::size_t i, std::size_t& len) {
    if (i >= s.size()) return false;
    const std::size_t n = ws_len(s.data() + i, s.data() + s.size());
    if (n == 0) return false;
    len = n;
    return true;
}

Modifiers parse_modifiers(std::string_view s) {
    Modifiers out;
    TokenEffects scan{out, std::nullopt, std::nullopt};

    // The trajectory clause: first "from:", then the first " to:" after it; the to-text
    // ends at the first stop keyword. When both sides are non-empty after trimming, the
    // clause is cut out and only what surrounds it is scanned for tokens.
    std::string joined;  // owns the scanned text when the clause sits between two parts
    std::string_view text = s;
    const std::size_t from = s.find("from:");
    if (from != std::string_view::npos) {
        const std::size_t after = from + 5;
        const std::size_t to = s.find(" to:", after);
        if (to != std::string_view::npos) {
            const std::string_view from_text = trim(s.substr(after, to - after));
            const std::string_view r = s.substr(to + 4);
            const std::size_t stop = find_stop(r);
            const std::string_view to_text = trim(r.substr(0, stop));
            if (!from_text.empty() && !to_text.empty()) {
                out.trajectory_from.emplace(from_text);
                out.trajectory_to.emplace(to_text);
                const std::string_view head = s.substr(0, from);
                const std::string_view tail = r.substr(stop);
                // The last word of head and the first of tail join into one token, so
                // the two parts are scanned as one text; only a non-empty pair needs a copy.
                if (head.empty()) {
                    text = tail;
                } else if (tail.empty()) {
                    text = head;
                } else {
                    joined.reserve(head.size() + tail.size());
                    joined.append(head).append(tail);
                    text = joined;
                }
            }
        }
    }

    scan.run(text);
    scan.finish();
    return out;
}

}  // namespace tarnexa::modifiers
