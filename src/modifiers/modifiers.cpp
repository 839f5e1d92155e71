#include "modifiers/modifiers.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
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
// inside words), or r.size() when there is none: the earliest first occurrence of any of them.
std::size_t find_stop(std::string_view r) noexcept {
    std::size_t stop = r.size();
    for (Word w : kStopWords) stop = std::min(stop, r.find(term(w).token));
    return stop;
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

// First bytes of the token rules' words: a token starting with any other byte matches none.
constexpr auto kRuleFirstByte = [] {
    std::array<bool, 256> t{};
    for (const Term& w : kVocabulary) t[static_cast<Byte>(w.token[0])] = true;
    return t;
}();

// The rule a token matches and what it reads: a valued word matches a token that starts with
// it, a flag a token equal to it (no token matches two).
struct Effect {
    std::optional<Word> rule;
    std::string_view rest;  // after the word
    std::optional<std::int64_t> recent_days;
    std::optional<std::uint64_t> limit;
};

Effect classify(std::string_view t) noexcept {
    if (!kRuleFirstByte[static_cast<Byte>(t[0])]) return {};
    for (std::size_t i = 0; i < std::size(kVocabulary); ++i) {
        const Word w = static_cast<Word>(i);
        const std::string_view word = kVocabulary[i].token;
        if (w == Word::from || (word.ends_with(':') ? !t.starts_with(word) : t != word)) continue;
        Effect e{w, t.substr(word.size()), std::nullopt, std::nullopt};
        if (w == Word::recent_days) e.recent_days = parse_signed(e.rest);
        if (w == Word::limit) e.limit = parse_unsigned(e.rest);
        return e;
    }
    return {};
}

// Token effects. Text values stay views into the scanned text until the scan is over,
// so a value overwritten by a later token costs nothing.
struct TokenEffects {
    Modifiers& out;
    std::optional<std::string_view> unlike;
    std::optional<std::string_view> like;

    void apply(const Effect& e) noexcept {
        if (!e.rule) return;
        switch (*e.rule) {
            case Word::recent_days:
                if (e.recent_days) out.recent_days = e.recent_days;
                [[fallthrough]];
            case Word::recent: out.recent = true; break;
            case Word::unlike: unlike = e.rest; break;
            case Word::like: like = e.rest; break;
            case Word::limit:
                if (e.limit) out.limit = e.limit;
                break;
            case Word::diverse: out.diverse = true; break;
            case Word::local_communities:
            case Word::detect_communities: out.local_communities = true; break;
            case Word::from: break;
        }
    }

    void finish() {
        if (unlike) out.unlike.emplace(*unlike);
        if (like) out.like.emplace(like_pieces(*like));
    }
};

// Calls on(token, offset, quoted) for each token of s, left to right; offset is its first byte
// in s, quoted the ids of a "like:" token of the quoted form (only when Quoted: read_modifiers'
// grammar), else null.
template <bool Quoted = false, class On>
void scan_tokens(std::string_view s, On&& on) {
    const char* const begin = s.data();
    const char* p = begin;
    const char* const end = p + s.size();
    std::vector<std::string> pieces;
    while (p < end) {
        const std::size_t n = ws_len(p, end);
        if (n != 0) {
            p += n;
            continue;
        }
        const char* const start = p;
        if constexpr (Quoted) {
            pieces.clear();
            const std::size_t q = quoted_like(std::string_view(p, static_cast<std::size_t>(end - p)), pieces);
            if (q != 0) {
                p += q;
                on(std::string_view(start, q), static_cast<std::size_t>(start - begin), &pieces);
                continue;
            }
        }
        ++p;  // the first byte is not white space
        while (p < end && (kByteClass[static_cast<Byte>(*p)] == 0 || ws_len(p, end) == 0)) ++p;
        on(std::string_view(start, static_cast<std::size_t>(p - start)), static_cast<std::size_t>(start - begin),
           static_cast<const std::vector<std::string>*>(nullptr));
    }
}

// The trajectory clause: first "from:", then the first " to:" after it; the to-text ends at the
// first stop keyword. When both sides are non-empty after trimming, the clause is cut out and only
// what surrounds it (head, then tail: one text) is scanned for tokens.
struct ClauseCut {
    std::optional<Clause::Status> status;  // none: no "from:"
    std::size_t from = 0;                  // bytes: the "from:"
    std::size_t raw_end = 0;               // bytes: the end of the raw to-text
    std::string_view from_text, to_text;   // trimmed

    bool taken() const noexcept { return status == Clause::Status::taken; }
};

// The clause's two keywords: "from:" anywhere, " to:" after a U+0020 space only.
constexpr std::string_view kFrom = term(Word::from).token;
constexpr std::string_view kTo = " to:";

ClauseCut cut_clause(std::string_view s) noexcept {
    ClauseCut c;
    c.from = s.find(kFrom);
    if (c.from == std::string_view::npos) return c;
    const std::size_t after = c.from + kFrom.size();
    const std::size_t to = s.find(kTo, after);
    if (to == std::string_view::npos) {
        c.status = Clause::Status::no_to;
        return c;
    }
    c.from_text = trim(s.substr(after, to - after));
    const std::string_view r = s.substr(to + kTo.size());
    const std::size_t stop = find_stop(r);
    c.to_text = trim(r.substr(0, stop));
    c.raw_end = to + kTo.size() + stop;
    c.status = c.from_text.empty() || c.to_text.empty() ? Clause::Status::empty : Clause::Status::taken;
    return c;
}

// The text the token scan reads: the line, or around a taken clause the head (the line before the
// "from:") immediately followed by the tail (after the raw to-text): the last word of one and the
// first of the other join into one token. Only a non-empty pair needs a copy, kept in `joined`.
std::string_view scanned_text(std::string_view s, const ClauseCut& c, std::string& joined) {
    if (!c.taken()) return s;
    const std::string_view head = s.substr(0, c.from), tail = s.substr(c.raw_end);
    if (head.empty()) return tail;
    if (tail.empty()) return head;
    joined.reserve(head.size() + tail.size());
    joined.append(head).append(tail);
    return joined;
}

// Code point index of a byte offset (a character boundary) of s; fastest for rising offsets.
class CodePoints {
public:
    explicit CodePoints(std::string_view s) noexcept : s_(s) {}
    std::size_t at(std::size_t byte) noexcept {
        if (byte < byte_) byte_ = index_ = 0;
        for (; byte_ < byte; ++byte_) index_ += (static_cast<Byte>(s_[byte_]) & 0xC0) != 0x80;
        return index_;
    }

private:
    std::string_view s_;
    std::size_t byte_ = 0, index_ = 0;
};

}  // namespace

std::size_t quoted_like(std::string_view s, std::vector<std::string>& pieces) {
    constexpr std::string_view kLike = term(Word::like).token;
    if (!s.starts_with(kLike)) return 0;
    std::vector<std::string> got;
    bool any_quoted = false;
    std::size_t i = kLike.size();
    const auto at_end = [&](std::size_t k) { return k == s.size() || ws_len(s.data() + k, s.data() + s.size()) != 0; };
    for (;;) {
        std::string& piece = got.emplace_back();
        if (i < s.size() && s[i] == '"') {
            any_quoted = true;
            for (++i;; ++i) {
                if (i == s.size()) return 0;  // left open
                if (s[i] == '"') {
                    if (i + 1 < s.size() && s[i + 1] == '"') {
                        piece += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                piece += s[i];
            }
        } else {
            while (!at_end(i) && s[i] != ',') {
                if (s[i] == '"') return 0;  // a quote inside a bare id
                piece += s[i++];
            }
        }
        if (at_end(i)) break;
        if (s[i] != ',') return 0;  // text after a closing quote
        ++i;
    }
    if (!any_quoted) return 0;
    pieces = std::move(got);
    return i;
}

std::vector<std::string> like_pieces(std::string_view rest) {
    std::vector<std::string> pieces;
    pieces.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
    for (;;) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos) {
            pieces.emplace_back(rest);
            return pieces;
        }
        pieces.emplace_back(rest.substr(0, comma));
        rest.remove_prefix(comma + 1);
    }
}

bool white_space_at(std::string_view s, std::size_t i, std::size_t& len) {
    if (i >= s.size()) return false;
    const std::size_t n = ws_len(s.data() + i, s.data() + s.size());
    if (n == 0) return false;
    len = n;
    return true;
}

Modifiers parse_modifiers(std::string_view s) {
    Modifiers out;
    TokenEffects effects{out, std::nullopt, std::nullopt};
    const ClauseCut c = cut_clause(s);
    if (c.taken()) {
        out.trajectory_from.emplace(c.from_text);
        out.trajectory_to.emplace(c.to_text);
    }
    std::string joined;
    scan_tokens(scanned_text(s, c, joined),
                [&](std::string_view t, std::size_t, const std::vector<std::string>*) { effects.apply(classify(t)); });
    effects.finish();
    return out;
}

Reading read_modifiers(std::string_view s) {
    Reading reading;
    Modifiers& out = reading.values;
    TokenEffects effects{out, std::nullopt, std::nullopt};
    const ClauseCut c = cut_clause(s);
    CodePoints cp(s);
    if (c.status) {
        const std::size_t start = cp.at(c.from);
        reading.clause = Clause{*c.status, start, c.taken() ? cp.at(c.raw_end) : start + kFrom.size()};
    }
    if (c.taken()) {
        out.trajectory_from.emplace(c.from_text);
        out.trajectory_to.emplace(c.to_text);
    }
    // A scanned byte offset in the line: before the clause as it is, after it moved past it. A
    // token's end at the head's end stays there (nothing of the tail is in it).
    const std::size_t head = c.taken() ? c.from : s.size();
    const std::size_t shift = c.taken() ? c.raw_end - c.from : 0;
    std::string joined;
    std::optional<std::vector<std::string>> quoted_ids;  // of the last "like:" token, when quoted
    scan_tokens<true>(scanned_text(s, c, joined), [&](std::string_view t, std::size_t at,
                                                       const std::vector<std::string>* quoted) {
        const Effect e = classify(t);
        effects.apply(e);
        if (e.rule == Word::like) quoted_ids = quoted ? std::optional(*quoted) : std::nullopt;
        const std::size_t first = at < head ? at : at + shift, last = at + t.size();
        Token& token = reading.tokens.emplace_back();
        token.text.assign(t);
        token.start = cp.at(first);
        token.end = cp.at(last <= head ? last : last + shift);
        token.rule = e.rule;
        token.recent_days = e.recent_days;
        token.limit = e.limit;
        if (quoted) token.quoted = *quoted;
    });
    effects.finish();
    if (quoted_ids) out.like = std::move(quoted_ids);
    return reading;
}

}  // namespace tarnexa::modifiers
