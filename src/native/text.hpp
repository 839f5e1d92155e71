// A str as CPython holds it, for code that runs without the GIL: length code units of width 1,
// 2 or 4 bytes (valid while a reference to the str is held).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnexa::native {

struct Text {
    const void* data;
    std::size_t length;
    unsigned width;
};

// The text's UTF-8, appended to out; a lone surrogate encoded as any other code point (as
// Python's "surrogatepass" error handler does).
inline void append_utf8(const Text& text, std::string& out) {
    auto put = [&out](std::uint32_t c) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    };
    auto each = [&](const auto* units) {
        for (std::size_t i = 0; i < text.length; ++i) put(units[i]);
    };
    switch (text.width) {
        case 1: each(static_cast<const std::uint8_t*>(text.data)); break;
        case 2: each(static_cast<const std::uint16_t*>(text.data)); break;
        default: each(static_cast<const std::uint32_t*>(text.data)); break;
    }
}

}  // namespace tarnexa::native
