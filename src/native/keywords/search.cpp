#include "native/keywords/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnexa::keywords {
namespace {

constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();
// A row is ruled out when a bound of its score is at most the k-th best score. A bound and a
// score summed in other orders may differ in their last bits: a row ruled out can at most tie
// the k-th score to within that rounding (about 1e-15 of it), which is how a tie is told here.

struct Scorer {
    double k1_base, k1_per_length;  // k1 * (1 - b), k1 * b / average_length
    double norm(double length) const noexcept { return k1_base + k1_per_length * length; }
    static double part(double idf, double f, double norm) noexcept { return idf * f * (kK1 + 1.0) / (f + norm); }
};

struct Cursor {
    const std::uint32_t* rows;
    const float* freqs;
    const Block* blocks;
    std::size_t n, pos = 0;
    double idf, upper;

    std::uint32_t row() const noexcept { return pos < n ? rows[pos] : kEnd; }
    const Block& block() const noexcept { return blocks[pos / kBlock]; }
    // To the first posting at or after target.
    void seek(std::uint32_t target) noexcept {
        if (pos >= n || rows[pos] >= target) return;
        std::size_t b = pos / kBlock;
        const std::size_t last = (n - 1) / kBlock;
        while (b < last && blocks[b].last_row < target) ++b;
        std::size_t p = std::max(pos, b * kBlock);
        const std::size_t end = std::min(n, (b + 1) * kBlock);
        while (p < end && rows[p] < target) ++p;
        pos = p;
    }
};

struct Better {  // a ranks before b: a higher score, or the same score and an earlier row
    bool operator()(const std::pair<std::uint64_t, double>& a, const std::pair<std::uint64_t, double>& b) const noexcept {
        return a.second > b.second || (a.second == b.second && a.first < b.first);
    }
};

// The best k rows offered: a heap whose front is the worst of them.
class Top {
public:
    explicit Top(std::size_t k) : k_(k) { heap_.reserve(std::min<std::size_t>(k, 1 << 12)); }
    double threshold() const noexcept {
        return heap_.size() < k_ ? -std::numeric_limits<double>::infinity() : heap_.front().second;
    }
    bool full() const noexcept { return heap_.size() >= k_; }
    // Rows come in ascending order, so a row that only ties the k-th score stays out.
    void offer(std::uint64_t row, double score) {
        if (!full()) {
            heap_.emplace_back(row, score);
            std::push_heap(heap_.begin(), heap_.end(), Better{});
        } else if (score > heap_.front().second) {
            std::pop_heap(heap_.begin(), heap_.end(), Better{});
            heap_.back() = {row, score};
            std::push_heap(heap_.begin(), heap_.end(), Better{});
        }
    }
    std::vector<std::pair<std::uint64_t, double>> sorted() && {
        std::sort(heap_.begin(), heap_.end(), Better{});
        return std::move(heap_);
    }

private:
    std::size_t k_;
    std::vector<std::pair<std::uint64_t, double>> heap_;
};

struct Weighted {
    std::string_view text;
    double idf;
};

void search_segment(const Segment& s, std::span<const Weighted> terms, const Scorer& scorer, Rows allowed, Top& top) {
    std::vector<Cursor> cur;
    for (const Weighted& t : terms) {
        const TermInfo* found = s.lookup(t.text);
        if (!found) continue;
        const TermInfo& i = *found;
        const double upper = Scorer::part(t.idf, i.max_freq, scorer.norm(i.min_length));
        cur.push_back({s.rows(i), s.freqs(i), s.blocks(i), i.count, 0, t.idf, upper});
    }
    if (cur.empty()) return;
    std::sort(cur.begin(), cur.end(), [](const Cursor& a, const Cursor& b) { return a.upper < b.upper; });
    const std::size_t m = cur.size();
    std::vector<double> prefix(m);  // prefix[i]: the bounds of terms 0..i summed
    double sum = 0;
    for (std::size_t i = 0; i < m; ++i) prefix[i] = sum += cur[i].upper;
    auto below = [&](std::size_t i) { return i ? prefix[i - 1] : 0.0; };  // bounds of the terms before i

    std::size_t essential = 0;  // terms essential..m-1 must be read; the others only add to a row found
    while (true) {
        const double theta = top.threshold();
        while (essential < m && prefix[essential] <= theta) ++essential;
        if (essential == m) break;
        std::uint32_t row = kEnd;
        for (std::size_t i = essential; i < m; ++i) row = std::min(row, cur[i].row());
        if (row == kEnd) break;
        if (top.full()) {  // the window up to the nearest block end, bounded by the blocks' greatest scores
            std::uint32_t window = kEnd;
            for (std::size_t i = essential; i < m; ++i)
                if (cur[i].row() != kEnd) window = std::min(window, cur[i].block().last_row);
            double bound = below(essential);
            for (std::size_t i = essential; i < m; ++i)
                if (cur[i].row() <= window) {
                    const Block& b = cur[i].block();
                    bound += Scorer::part(cur[i].idf, b.max_freq, scorer.norm(b.min_length));
                }
            if (bound <= theta) {
                if (window == kEnd) break;
                for (std::size_t i = essential; i < m; ++i) cur[i].seek(window + 1);
                continue;
            }
        }
        if (!allowed(row) || !s.holds(row)) {
            for (std::size_t i = essential; i < m; ++i)
                if (cur[i].row() == row) ++cur[i].pos;
            continue;
        }
        const double norm = scorer.norm(s.length(row));
        double score = 0;
        for (std::size_t i = essential; i < m; ++i)
            if (cur[i].row() == row) {
                score += Scorer::part(cur[i].idf, cur[i].freqs[cur[i].pos], norm);
                ++cur[i].pos;
            }
        bool out = false;
        for (std::size_t i = essential; i-- > 0;) {
            if (top.full() && score + prefix[i] <= theta) {
                out = true;
                break;
            }
            cur[i].seek(row);
            if (cur[i].row() == row) score += Scorer::part(cur[i].idf, cur[i].freqs[cur[i].pos], norm);
        }
        if (!out) top.offer(row, score);
    }
}

}  // namespace

double idf(double documents, double holding) noexcept {
    return std::max(kMinIdf, std::log((documents - holding + 0.5) / (holding + 0.5)));
}

std::vector<std::uint64_t> holding(std::span<const Segment> segments, std::span<const std::string> terms, Rows live) {
    std::vector<std::uint64_t> out(terms.size(), 0);
    for (std::size_t t = 0; t < terms.size(); ++t)
        for (const Segment& s : segments) {
            const TermInfo* found = s.lookup(terms[t]);
            if (!found) continue;
            const TermInfo& i = *found;
            const std::uint32_t* rows = s.rows(i);
            for (std::size_t p = 0; p < i.count; ++p) out[t] += live(rows[p]) && s.holds(rows[p]);
        }
    return out;
}

double total_length(std::span<const Segment> segments, Rows live) {
    double sum = 0;
    for (const Segment& s : segments) {
        const std::span<const float> l = s.lengths();
        for (std::size_t i = 0; i < l.size(); ++i)
            if (live(s.first_row() + i)) sum += l[i];
    }
    return sum;
}

std::vector<std::pair<std::uint64_t, double>> best(std::span<const Segment> segments, std::span<const Term> terms,
                                                   Collection c, Rows allowed, std::size_t k) {
    Top top(k);
    if (k == 0) return {};
    const double average = c.average_length > 0 ? c.average_length : 1.0;
    const Scorer scorer{kK1 * (1 - kB), kK1 * kB / average};
    // Each term once, with its idf where the search reads the count.
    std::vector<Weighted> weighted;
    for (const Term& t : terms) {
        if (t.documents <= 0) continue;
        if (std::any_of(weighted.begin(), weighted.end(), [&](const Weighted& w) { return w.text == t.text; })) continue;
        weighted.push_back({t.text, idf(c.documents, t.documents)});
    }
    for (const Segment& s : segments) search_segment(s, weighted, scorer, allowed, top);
    return std::move(top).sorted();
}

}  // namespace tarnexa::keywords
