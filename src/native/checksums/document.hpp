// The checksum of a stored document (tarnexa.storage.checksums.digest): BLAKE2b of 16 bytes over
// its fields in order (id, cache row in decimal, title, text, timestamp as Python's repr or
// "", metadata's JSON text or one NUL byte when it has none), each as its UTF-8 length in 8
// little-endian bytes, then its UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "native/text.hpp"

namespace tarnexa::native::checksums {

struct Document {
    Text id;
    std::int64_t row;
    Text title, text, stamp;
    std::optional<Text> metadata;
};

// The 16 bytes of the document's checksum to out; scratch is reused between calls.
void digest(const Document& doc, std::string& scratch, std::uint8_t* out);

}  // namespace tarnexa::native::checksums
