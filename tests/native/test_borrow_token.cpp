// Borrow tokens: every borrow is released exactly once, under the key it was taken with, however
// the tokens that hold them are moved.
#include <algorithm>
#include <vector>

#include "boundary/borrow_token.hpp"
#include "native_test.hpp"

namespace {

using tarnexa::borrow::Key;
using tarnexa::borrow::Token;
using Released = std::vector<std::uintptr_t>;  // the data address of each released key

void drop(void* log, const Key& key, void*) noexcept { static_cast<Released*>(log)->push_back(key.data); }
Token take(Released& log, std::uintptr_t data) { return Token(drop, &log, Key{1, data, data + 4, data, 4}, nullptr); }

}  // namespace

TEST(borrow_token_moves_release_each_key_once) {
    const struct {
        const char* name;
        void (*run)(Released&);
        Released released;  // once every token is gone, in any order
    } cases[] = {
        {"move construct", [](Released& l) { Token a = take(l, 10), b(std::move(a)); }, {10}},
        {"move assign onto empty", [](Released& l) { Token a = take(l, 10), b; b = std::move(a); }, {10}},
        {"move assign onto a holder drops the holder's own key first",
         [](Released& l) {
             Token a = take(l, 10), b = take(l, 20);
             b = std::move(a);
             CHECK(l == Released{20} && b.key().data == 10 && !a);
         },
         {10, 20}},
        {"self move keeps the borrow", [](Released& l) { Token a = take(l, 10); Token& s = a; a = std::move(s); CHECK(a); }, {10}},
        {"reset twice releases once", [](Released& l) { Token a = take(l, 10); a.reset(); a.reset(); CHECK(!a); }, {10}},
        {"a moved-from token takes a new borrow", [](Released& l) { Token a = take(l, 10), b(std::move(a)); a = take(l, 30); }, {10, 30}},
        {"tokens moved by vector growth",
         [](Released& l) {
             std::vector<Token> v;
             for (std::uintptr_t d = 1; d <= 20; ++d) v.push_back(take(l, d));
             CHECK(l.empty());
         },
         [] { Released r; for (std::uintptr_t d = 1; d <= 20; ++d) r.push_back(d); return r; }()},
    };
    for (const auto& c : cases) {
        Released log;
        c.run(log);
        std::sort(log.begin(), log.end());
        CHECK_MSG(log == c.released, c.name << ": " << log.size() << " releases");
    }
}
