// libFuzzer target for the modifier parser's C++ core.
//
// The parser's contract is valid UTF-8 input, so every input is first made valid: each byte
// that does not start a well-formed sequence is replaced by U+FFFD. The line is then handed
// to the parser from an exact-size heap buffer, so any read past its end is an AddressSanitizer
// report. Besides "no crash, no undefined behaviour", the result is checked against
// properties that hold for every line:
//   - white_space_at agrees with an independent table of the grammar's white space at every
//     byte position (continuation bytes and positions past the end included);
//   - the trajectory texts are set together, are non-empty, start and end with a character
//     that is not white space, and are substrings of the line;
//   - the unlike text and the like pieces are valid and white-space free, the like pieces hold
//     no comma, and both are substrings of the line when no trajectory clause was cut out;
//   - flags, numbers and texts only appear when their keyword is in the line (the unlike text
//     excepted when a trajectory clause was cut out), and a number's digits are in the line;
//   - parsing is deterministic.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "modifiers/modifiers.hpp"

namespace {

using tarnexa::modifiers::Modifiers;

[[noreturn]] void fail(const char* what, std::string_view line) {
    std::fprintf(stderr, "invariant violated: %s\nline (%zu bytes):", what, line.size());
    for (unsigned char c : line) std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define CHECK(cond, line)                  \
    do {                                   \
        if (!(cond)) fail(#cond, (line));  \
    } while (0)

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 if there is none.
std::size_t utf8_len(const unsigned char* p, std::size_t avail) {
    const unsigned char b = p[0];
    if (b < 0x80) return 1;
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;        // no overlong forms
        if (b == 0xED) hi = 0x9F;        // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;        // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (avail < n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

std::uint32_t decode(const unsigned char* p, std::size_t n) {
    switch (n) {
        case 1: return p[0];
        case 2: return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        case 3: return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        default: return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    }
}

// The grammar's white space, written down by code point (independently of the parser's bytes).
bool is_ws(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string make_valid(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < size;) {
        const std::size_t n = utf8_len(data + i, size - i);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(data + i), n);
            i += n;
        }
    }
    return out;
}

struct Char {
    std::size_t pos, len;
    std::uint32_t cp;
};

std::vector<Char> chars_of(std::string_view s) {
    std::vector<Char> out;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_len(p + i, s.size() - i);
        if (n == 0) return {};  // caller checks validity separately
        out.push_back({i, n, decode(p + i, n)});
        i += n;
    }
    return out;
}

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_len(p + i, s.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

void check_white_space_at(std::string_view line) {
    const std::vector<Char> cs = chars_of(line);
    std::vector<std::size_t> start_len(line.size() + 1, 0);
    std::vector<bool> ws(line.size() + 1, false);
    for (const Char& c : cs) {
        start_len[c.pos] = c.len;
        ws[c.pos] = is_ws(c.cp);
    }
    for (std::size_t i = 0; i <= line.size() + 1; ++i) {
        std::size_t len = 12345;
        const bool got = tarnexa::modifiers::white_space_at(line, i, len);
        if (i >= line.size()) {
            CHECK(!got && len == 12345, line);
            continue;
        }
        if (start_len[i] == 0) {  // a continuation byte
            CHECK(!got, line);
            continue;
        }
        CHECK(got == ws[i], line);
        CHECK(got ? len == start_len[i] : len == 12345, line);
    }
}

// Non-empty, valid, a substring of the line, and neither starting nor ending with white space.
void check_trimmed(std::string_view t, std::string_view line) {
    CHECK(!t.empty(), line);
    CHECK(valid_utf8(t), line);
    CHECK(contains(line, t), line);
    const std::vector<Char> cs = chars_of(t);
    CHECK(!cs.empty(), line);
    CHECK(!is_ws(cs.front().cp), line);
    CHECK(!is_ws(cs.back().cp), line);
    std::size_t len = 0;
    CHECK(!tarnexa::modifiers::white_space_at(t, 0, len), line);
    CHECK(!tarnexa::modifiers::white_space_at(t, cs.back().pos, len), line);
}

// A piece of one token: valid, with no white-space character, and a substring of the line
// unless a trajectory clause was cut out (the words on both sides of a cut form one token).
void check_token_piece(std::string_view t, std::string_view line, bool cut) {
    CHECK(valid_utf8(t), line);
    CHECK(cut || contains(line, t), line);
    for (const Char& c : chars_of(t)) CHECK(!is_ws(c.cp), line);
}

std::string digits_of(std::uint64_t magnitude) { return std::to_string(magnitude); }

bool same(const Modifiers& a, const Modifiers& b) {
    return a.recent == b.recent && a.recent_days == b.recent_days && a.unlike == b.unlike &&
           a.diverse == b.diverse && a.limit == b.limit && a.like == b.like &&
           a.trajectory_from == b.trajectory_from && a.trajectory_to == b.trajectory_to &&
           a.local_communities == b.local_communities;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string valid = make_valid(data, size);
    // An exact-size copy: no terminator and no spare capacity for a stray read to land in.
    std::unique_ptr<char[]> exact(new char[valid.size() ? valid.size() : 1]);
    std::memcpy(exact.get(), valid.data(), valid.size());
    const std::string_view line(exact.get(), valid.size());

    const Modifiers m = tarnexa::modifiers::parse_modifiers(line);

    check_white_space_at(line);

    CHECK(m.trajectory_from.has_value() == m.trajectory_to.has_value(), line);
    if (m.trajectory_from) {
        CHECK(contains(line, "from:") && contains(line, " to:"), line);
        check_trimmed(*m.trajectory_from, line);
        check_trimmed(*m.trajectory_to, line);
    }
    const bool cut = m.trajectory_from.has_value();
    if (m.unlike) {
        CHECK(cut || contains(line, "unlike:"), line);  // "un" + cut + "like:" is an unlike: token
        check_token_piece(*m.unlike, line, cut);
    }
    if (m.like) {
        CHECK(contains(line, "like:"), line);
        CHECK(!m.like->empty(), line);
        for (const std::string& piece : *m.like) {
            CHECK(piece.find(',') == std::string::npos, line);
            check_token_piece(piece, line, cut);
        }
    }
    if (m.recent) CHECK(contains(line, "recent"), line);
    if (m.recent_days) {
        CHECK(m.recent && contains(line, "recent:"), line);
        const std::int64_t v = *m.recent_days;
        const std::uint64_t mag = v < 0 ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
        CHECK(contains(line, digits_of(mag)), line);
    }
    if (m.limit) {
        CHECK(contains(line, "limit:"), line);
        CHECK(contains(line, digits_of(*m.limit)), line);
    }
    if (m.diverse) CHECK(contains(line, "diverse"), line);
    if (m.local_communities)
        CHECK(contains(line, "local_communities") || contains(line, "detect_communities"), line);

    CHECK(same(m, tarnexa::modifiers::parse_modifiers(line)), line);
    return 0;
}
