// One registered borrow, released exactly once under the key it was taken with. Plain C++ with no
// Python dependency, so the native self-tests can exercise it.
#pragma once

#include <cstdint>
#include <utility>

namespace tarnexa::borrow {

// What a borrow covers: the bytes an array can touch, its data pointer and the gcd of its
// strides, under the address that the array's chain of bases ends at.
struct Key {
    std::uintptr_t base = 0;
    std::uintptr_t start = 0, end = 0, data = 0;
    std::intptr_t gcd = 0;
    bool operator==(const Key&) const = default;
};

// Movable, not copyable. The registry that grants a borrow fills the token with the function that
// drops it, the registry's own pointer, the key and an object the release needs (or owns); the
// destructor calls that function once. What happens to the borrowed array in the meantime does
// not matter: the release works from what the token recorded.
class Token {
public:
    using Release = void (*)(void* registry, const Key& key, void* object) noexcept;

    Token() noexcept = default;
    Token(Release release, void* registry, const Key& key, void* object) noexcept
        : release_(release), registry_(registry), key_(key), object_(object) {}
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    Token(Token&& o) noexcept
        : release_(std::exchange(o.release_, nullptr)), registry_(o.registry_), key_(o.key_), object_(o.object_) {}
    Token& operator=(Token&& o) noexcept {
        if (this != &o) {
            Token old(std::move(*this));  // released at the end of this scope, under its own key
            release_ = std::exchange(o.release_, nullptr);
            registry_ = o.registry_;
            key_ = o.key_;
            object_ = o.object_;
        }
        return *this;
    }
    ~Token() { reset(); }

    // Drops the borrow now; a token that holds none does nothing.
    void reset() noexcept {
        if (Release r = std::exchange(release_, nullptr)) r(registry_, key_, object_);
    }
    explicit operator bool() const noexcept { return release_ != nullptr; }
    const Key& key() const noexcept { return key_; }

private:
    Release release_ = nullptr;
    void* registry_ = nullptr;
    Key key_;
    void* object_ = nullptr;
};

}  // namespace tarnexa::borrow
