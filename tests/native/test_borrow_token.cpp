// Borrow tokens: every borrow is released exactly once, under the key it was taken with, however
// the tokens holding them are moved.
#include <algorithm>
#include <vector>

#include "boundary/borrow_token.hpp"
#include "native_test.hpp"

namespace {

using tarnexa::borrow::Key;
using tarnexa::borrow::Token;

struct Ledger {
    std::vector<std::uintptr_t> released;  // the data address of each released key, in order
};

void drop(void* ledger, const Key& key, void*) noexcept { static_cast<Ledger*>(ledger)->released.push_back(key.data); }

Token take(Ledger& l, std::uintptr_t data) { return Token(drop, &l, Key{1, data, data + 4, data, 4}, nullptr); }

}  // namespace

TEST(borrow_token_moves_release_each_key_once) {
    using R = std::vector<std::uintptr_t>;
    struct Case {
        const char* name;
        void (*run)(Ledger&);
        R released;  // every key released once the tokens are gone, in any order
    };
    const Case cases[] = {
        {"move construct", [](Ledger& l) { Token a = take(l, 10); Token b(std::move(a)); }, {10}},
        {"move assign onto empty", [](Ledger& l) { Token a = take(l, 10), b; b = std::move(a); }, {10}},
        {"move assign onto held releases the old key",
         [](Ledger& l) {
             Token a = take(l, 10), b = take(l, 20);
             b = std::move(a);
             CHECK(l.released == R{20});
             CHECK(b.key().data == 10);
         },
         {10, 20}},
        {"self move keeps the borrow",
         [](Ledger& l) {
             Token a = take(l, 10);
             Token& same = a;
             a = std::move(same);
             CHECK(bool(a));
         },
         {10}},
        {"reset releases once",
         [](Ledger& l) {
             Token a = take(l, 10);
             a.reset();
             a.reset();
             CHECK(!a);
         },
         {10}},
        {"moved-from token is empty and reusable",
         [](Ledger& l) {
             Token a = take(l, 10);
             Token b(std::move(a));
             CHECK(!a);
             a = take(l, 30);
         },
         {10, 30}},
        {"tokens in a vector survive reallocation",
         [](Ledger& l) {
             std::vector<Token> v;
             for (std::uintptr_t d = 1; d <= 20; ++d) v.push_back(take(l, d));
             CHECK(l.released.empty());
         },
         [] { R r; for (std::uintptr_t d = 1; d <= 20; ++d) r.push_back(d); return r; }()},
    };
    for (const Case& c : cases) {
        Ledger l;
        c.run(l);
        std::sort(l.released.begin(), l.released.end());
        CHECK_MSG(l.released == c.released, c.name << ": " << l.released.size() << " releases");
    }
}
