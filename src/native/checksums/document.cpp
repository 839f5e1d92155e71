#include "native/checksums/document.hpp"

#include "native/checksums/blake2b.hpp"

namespace tarnexa::native::checksums {

void digest(const Document& doc, std::string& scratch, std::uint8_t* out) {
    Blake2b hash(16);
    auto field = [&](const std::string& utf8) {
        std::uint8_t size[8];
        for (int i = 0; i < 8; ++i) size[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(utf8.size()) >> (8 * i));
        hash.update(size, sizeof size);
        hash.update(utf8.data(), utf8.size());
    };
    auto text = [&](const Text& t) {
        scratch.clear();
        append_utf8(t, scratch);
        field(scratch);
    };
    text(doc.id);
    field(std::to_string(doc.row));
    text(doc.title);
    text(doc.text);
    text(doc.stamp);
    if (doc.metadata) text(*doc.metadata);
    else field(std::string(1, '\0'));
    hash.finish(out);
}

}  // namespace tarnexa::native::checksums
