// Porter's suffix-stripping algorithm (M. F. Porter, "An algorithm for suffix stripping", 1980),
// with the two changes of its author's own later rendering that SQLite's porter tokenizer also
// makes: "bli" -> "ble" (not "abli" -> "able") and "logi" -> "log".
#include <string>
#include <string_view>

#include "native/keywords/words.hpp"

namespace tarnexa::keywords {
namespace {

class Stemmer {
public:
    explicit Stemmer(std::string& w) : b_(w) {}

    void run() {
        if (b_.size() <= 2) return;
        step1ab();
        if (b_.size() > 1) {
            step1c();
            step2();
            step3();
            step4();
            step5();
        }
    }

private:
    std::string& b_;
    std::size_t j_ = 0;  // end of the stem (exclusive) while a suffix is considered

    bool cons(std::size_t i) const {
        switch (b_[i]) {
            case 'a': case 'e': case 'i': case 'o': case 'u': return false;
            case 'y': return i == 0 || !cons(i - 1);
            default: return true;
        }
    }
    // The measure of b_[0, j_): the number of vowel-consonant sequences.
    int m() const {
        int n = 0;
        std::size_t i = 0;
        while (true) {
            if (i >= j_) return n;
            if (!cons(i)) break;
            ++i;
        }
        ++i;
        while (true) {
            while (true) {
                if (i >= j_) return n;
                if (cons(i)) break;
                ++i;
            }
            ++i;
            ++n;
            while (true) {
                if (i >= j_) return n;
                if (!cons(i)) break;
                ++i;
            }
            ++i;
        }
    }
    bool vowel_in_stem() const {
        for (std::size_t i = 0; i < j_; ++i)
            if (!cons(i)) return true;
        return false;
    }
    bool double_cons(std::size_t k) const {  // b_[k-1] == b_[k], a consonant
        return k >= 1 && b_[k] == b_[k - 1] && cons(k);
    }
    // cvc at i-2, i-1, i, the last not w, x or y.
    bool cvc(std::size_t i) const {
        if (i < 2 || !cons(i) || cons(i - 1) || !cons(i - 2)) return false;
        const char c = b_[i];
        return c != 'w' && c != 'x' && c != 'y';
    }
    bool ends(std::string_view s) {
        if (s.size() > b_.size() || std::string_view(b_).substr(b_.size() - s.size()) != s) return false;
        j_ = b_.size() - s.size();
        return true;
    }
    void set_to(std::string_view s) { b_.replace(j_, std::string::npos, s); }
    void r(std::string_view s) {
        if (m() > 0) set_to(s);
    }

    void step1ab() {
        if (b_.back() == 's') {
            if (ends("sses")) b_.resize(b_.size() - 2);
            else if (ends("ies")) set_to("i");
            else if (b_.size() >= 2 && b_[b_.size() - 2] != 's') b_.pop_back();
        }
        if (ends("eed")) {
            if (m() > 0) b_.pop_back();
        } else if ((ends("ed") || ends("ing")) && vowel_in_stem()) {
            b_.resize(j_);
            if (ends("at")) set_to("ate");
            else if (ends("bl")) set_to("ble");
            else if (ends("iz")) set_to("ize");
            else if (double_cons(b_.size() - 1)) {
                const char c = b_.back();
                if (c != 'l' && c != 's' && c != 'z') b_.pop_back();
            } else {
                j_ = b_.size();
                if (m() == 1 && cvc(b_.size() - 1)) b_ += 'e';
            }
        }
    }
    void step1c() {
        if (ends("y") && vowel_in_stem()) b_.back() = 'i';
    }
    void step2() {
        if (b_.size() < 2) return;
        switch (b_[b_.size() - 2]) {
            case 'a':
                if (ends("ational")) r("ate");
                else if (ends("tional")) r("tion");
                break;
            case 'c':
                if (ends("enci")) r("ence");
                else if (ends("anci")) r("ance");
                break;
            case 'e':
                if (ends("izer")) r("ize");
                break;
            case 'l':
                if (ends("bli")) r("ble");
                else if (ends("alli")) r("al");
                else if (ends("entli")) r("ent");
                else if (ends("eli")) r("e");
                else if (ends("ousli")) r("ous");
                break;
            case 'o':
                if (ends("ization")) r("ize");
                else if (ends("ation")) r("ate");
                else if (ends("ator")) r("ate");
                break;
            case 's':
                if (ends("alism")) r("al");
                else if (ends("iveness")) r("ive");
                else if (ends("fulness")) r("ful");
                else if (ends("ousness")) r("ous");
                break;
            case 't':
                if (ends("aliti")) r("al");
                else if (ends("iviti")) r("ive");
                else if (ends("biliti")) r("ble");
                break;
            case 'g':
                if (ends("logi")) r("log");
                break;
            default: break;
        }
    }
    void step3() {
        switch (b_.back()) {
            case 'e':
                if (ends("icate")) r("ic");
                else if (ends("ative")) r("");
                else if (ends("alize")) r("al");
                break;
            case 'i':
                if (ends("iciti")) r("ic");
                break;
            case 'l':
                if (ends("ical")) r("ic");
                else if (ends("ful")) r("");
                break;
            case 's':
                if (ends("ness")) r("");
                break;
            default: break;
        }
    }
    void step4() {
        if (b_.size() < 2) return;
        bool found = false;
        switch (b_[b_.size() - 2]) {
            case 'a': found = ends("al"); break;
            case 'c': found = ends("ance") || ends("ence"); break;
            case 'e': found = ends("er"); break;
            case 'i': found = ends("ic"); break;
            case 'l': found = ends("able") || ends("ible"); break;
            case 'n': found = ends("ant") || ends("ement") || ends("ment") || ends("ent"); break;
            case 'o':
                if (ends("ion")) found = j_ > 0 && (b_[j_ - 1] == 's' || b_[j_ - 1] == 't');
                else found = ends("ou");
                break;
            case 's': found = ends("ism"); break;
            case 't': found = ends("ate") || ends("iti"); break;
            case 'u': found = ends("ous"); break;
            case 'v': found = ends("ive"); break;
            case 'z': found = ends("ize"); break;
            default: break;
        }
        if (found && m() > 1) b_.resize(j_);
    }
    void step5() {
        j_ = b_.size();
        if (b_.back() == 'e') {
            j_ = b_.size() - 1;
            const int a = m();
            if (a > 1 || (a == 1 && !cvc(b_.size() - 2))) b_.pop_back();
        }
        j_ = b_.size();
        if (b_.back() == 'l' && double_cons(b_.size() - 1) && m() > 1) b_.pop_back();
    }
};

}  // namespace

void porter_stem(std::string& word) { Stemmer(word).run(); }

}  // namespace tarnexa::keywords
