// The words of a text as the keyword index reads them, at indexing and at query time alike: runs
// of letters and digits (Unicode's), lower-cased, accents taken off Latin letters, each cut to its
// Porter stem (porter_stem) when it is all ASCII letters. Pure C++: what a code point is (a letter or digit, its
// lower case) for code points past ASCII is asked of the caller, who holds the Unicode tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnexa::keywords {

// Longest term kept, in bytes of UTF-8; a longer word is cut (at a code point) to this.
inline constexpr std::size_t kMaxTermBytes = 64;

// Porter's stemmer (1980), on a word of lower-case ASCII letters, in place.
void porter_stem(std::string& word);

// What the caller says of a code point past ASCII.
struct CodePoint {
    bool word;       // a letter or a digit
    char32_t lower;  // its lower case
};

namespace detail {
// Lower-case Latin letters U+00C0..U+024F without their accents ('.' for none).
inline constexpr char kFolded[] =
    "aaaaaa.ceeeeiiii.nooooo..uuuuy..aaaaaa.ceeeeiiii.nooooo..uuuuy.yaaaaaaccccccccdd..eeeeeeeeeegggggggghh"
    "..iiiiiiiii...jjkk.llllll....nnnnnn...oooooo..rrrrrrsssssssstttt..uuuuuuuuuuuuwwyyyzzzzzz............"
    ".....................oo.............uu............................aaiioouuuuuuuuuu.aaaa....ggkkoooo.."
    "j...gg..nnaa....aaaaeeeeiiiioooorrrruuuusstt..hh......aaeeooooooooyy............................";
static_assert(sizeof(kFolded) == 0x250 - 0xC0 + 1);

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

inline bool is_mark(char32_t c) noexcept { return c >= 0x300 && c < 0x370; }  // combining accents
}  // namespace detail

// Calls emit(word, letters, start, end) for each word of the text of n code points at(i): word
// lower-cased with accents off but not stemmed (letters: all ASCII letters, so to be stemmed),
// start and end its code point offsets; classify(c) tells of code points past ASCII. A combining
// accent inside a word belongs to it and is left out of its text.
template <class At, class Classify, class Emit>
void for_each_token(std::size_t n, At&& at, Classify&& classify, Emit&& emit) {
    std::string term;
    std::size_t i = 0;
    while (i < n) {
        char32_t c = at(i);
        bool word = c < 0x80 ? ((c | 0x20) - 'a' < 26u || c - '0' < 10u) : classify(c).word;
        if (!word) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        term.clear();
        bool letters = true;
        for (; i < n; ++i) {
            c = at(i);
            char32_t lower;
            if (c < 0x80) {
                if ((c | 0x20) - 'a' < 26u) {
                    lower = c | 0x20;
                } else if (c - '0' < 10u) {
                    lower = c;
                    letters = false;
                } else {
                    break;
                }
                if (term.size() < kMaxTermBytes) term += static_cast<char>(lower);
                continue;
            }
            if (detail::is_mark(c)) continue;
            const CodePoint p = classify(c);
            if (!p.word) break;
            lower = p.lower;
            if (lower >= 0xC0 && lower < 0x250 && detail::kFolded[lower - 0xC0] != '.') {
                lower = static_cast<char32_t>(detail::kFolded[lower - 0xC0]);
            } else {
                letters = false;
            }
            if (term.size() < kMaxTermBytes) detail::append_utf8(term, lower);
        }
        if (term.size() > kMaxTermBytes) {  // cut at a code point
            std::size_t cut = kMaxTermBytes;
            while (cut > 0 && (static_cast<unsigned char>(term[cut]) & 0xC0) == 0x80) --cut;
            term.resize(cut);
        }
        emit(term, letters, start, i);
    }
}

}  // namespace tarnexa::keywords
