// Parser for the modifier line a user types after a search ("recent:7 diverse
// limit:5 from: a to: b ..."). Pure C++: no Python types; the binding turns the
// result into a dict.
#pragma once

#include <cstdint>
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

// Parses a modifier line given as valid UTF-8. Never throws except std::bad_alloc.
Modifiers parse_modifiers(std::string_view utf8);

// True when the code point starting at s[i] (valid UTF-8) is one of the white-space
// characters of the grammar; sets len to its byte length. Exposed for tests/fuzzing.
bool white_space_at(std::string_view s, std::size_t i, std::size_t& len);

}  // namespace tarnexa::modifiers
