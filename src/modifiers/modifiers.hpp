// Parser for the modifier line a user types after a search ("recent:7 diverse
// limit:5 from: a to: b ..."). Pure C++: no Python types; the binding turns the
// result into a dict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnexa::modifiers {

struct Modifiers {
    bool recent = false;
    std::optional<std::int64_t> recent_days;
    std::optional<std::string> unlike;
    bool diverse = false;
    std::optional<std::uint64_t> limit;
    std::optional<std::vector<std::string>> like;
    std::optional<std::string> trajectory_from;
    std::optional<std::string> trajectory_to;
    bool local_communities = false;
};

// ---- the vocabulary ----
// Every word of the grammar, in the order a user is shown them. A token ending in ':' is valued
// and matches any token starting with it; the others match a token equal to them. "from:" opens
// the trajectory clause and is no token rule.
enum class Word : unsigned char {
    recent, recent_days, like, unlike, from, limit, diverse, local_communities, detect_communities
};
struct Term {
    std::string_view token;  // as typed
    std::string_view key;    // the result's key it sets
    std::string_view usage;  // how it is written
    std::string_view help;   // one line for a user
    bool shown;              // listed to users (detect_communities is an alias)
};
inline constexpr Term kVocabulary[] = {
    {"recent", "recent", "recent", "favour newer documents", true},
    {"recent:", "recent_days", "recent:N", "recent:N, an age scale of N days", true},
    {"like:", "like", "like:ID,ID", "like:ID,ID, towards these documents", true},
    {"unlike:", "unlike", "unlike:WORD", "unlike:WORD, away from a word", true},
    {"from:", "trajectory_from", "from: TEXT to: TEXT", "from: TEXT to: TEXT, along a direction", true},
    {"limit:", "limit", "limit:N", "limit:N, at most N hits", true},
    {"diverse", "diverse", "diverse", "fewer near-duplicates", true},
    {"local_communities", "local_communities", "local_communities", "group the hits", true},
    {"detect_communities", "local_communities", "detect_communities", "group the hits", false},
};
constexpr const Term& term(Word w) noexcept { return kVocabulary[static_cast<std::size_t>(w)]; }

// The words that end the to-text of a trajectory clause, in the grammar's order (the bare word
// "recent" is not among them).
inline constexpr Word kStopWords[] = {Word::diverse, Word::recent_days, Word::unlike, Word::like,
                                      Word::limit, Word::local_communities, Word::detect_communities};

// Parses a modifier line given as valid UTF-8. Never throws except std::bad_alloc.
Modifiers parse_modifiers(std::string_view utf8);

// ---- what a parse saw ----
// Positions are code point indices into the line.
struct Token {
    std::string text;          // as scanned: for a token across the cut-out clause, both parts
    std::size_t start = 0;     // its first character in the line
    std::size_t end = 0;       // one past its last character in the line
    std::optional<Word> rule;  // the rule that matched; none for an ignored token
    std::optional<std::int64_t> recent_days;  // "recent:" with a valid number
    std::optional<std::uint64_t> limit;       // "limit:" with a valid number
    // The ids of a "like:" token in the quoted form (like:"my notes.md#1",b.md#2), unquoted.
    std::optional<std::vector<std::string>> quoted;
    // The text after the rule's token (the value of "unlike:" and "like:").
    std::string_view rest() const noexcept {
        return std::string_view(text).substr(rule ? term(*rule).token.size() : 0);
    }
};
struct Clause {
    enum class Status : unsigned char {
        taken,  // from the "from:" to the end of the raw to-text
        no_to,  // no " to:" after the first "from:" (span: the "from:")
        empty,  // a side trims to nothing (span: the "from:")
    };
    Status status;
    std::size_t start, end;
};
struct Reading {
    Modifiers values;              // what parse_modifiers returns, but for a quoted "like:"
    std::vector<Token> tokens;     // the token scan, left to right
    std::optional<Clause> clause;  // none when the line holds no "from:"
};

// parse_modifiers and what it saw on the way, with one addition to the grammar: a "like:" token
// in the quoted form, whose ids may hold white space and commas. Its ids are separated by commas
// as before, and any of them may be written in double quotes, a quote inside one doubled
// (like:"my notes.md#1","a ""b"".md#2",c.md#3); the token then ends at the first white space
// outside quotes. A token that is not wholly of that form (a quote left open, a quote inside a
// bare id, text after a closing quote) is read as parse_modifiers reads it. Never throws except
// std::bad_alloc.
Reading read_modifiers(std::string_view utf8);

// The byte length of a "like:" token of the quoted form starting at s, and its ids in pieces;
// 0 when s does not start with one (then pieces is left as it was).
std::size_t quoted_like(std::string_view s, std::vector<std::string>& pieces);

// The pieces of a "like:" value: split at every ',', empty pieces kept, none trimmed.
std::vector<std::string> like_pieces(std::string_view rest);

// True when the code point starting at s[i] (valid UTF-8) is one of the white-space
// characters of the grammar; sets len to its byte length. Exposed for tests/fuzzing.
bool white_space_at(std::string_view s, std::size_t i, std::size_t& len);

}  // namespace tarnexa::modifiers
