#include "native/keywords/segment.hpp"

#include "native/keywords/words.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>

namespace tarnexa::keywords {
namespace {

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

struct Offsets {
    std::size_t lengths, ends, infos, blocks, rows, freqs, bytes, total;
};

// Where each section starts, or nullopt when the counts overflow.
std::optional<Offsets> offsets(const Header& h) {
    constexpr std::uint64_t limit = std::uint64_t{1} << 40;  // no section of a terabyte or more
    if (h.rows >= limit || h.terms >= limit || h.postings >= limit || h.blocks >= limit || h.term_bytes >= limit)
        return std::nullopt;
    Offsets o{};
    o.lengths = sizeof(Header);
    o.ends = o.lengths + align8(h.rows * sizeof(float));
    o.infos = o.ends + h.terms * sizeof(std::uint64_t);
    o.blocks = o.infos + h.terms * sizeof(TermInfo);
    o.rows = o.blocks + h.blocks * sizeof(Block);
    o.freqs = o.rows + align8(h.postings * sizeof(std::uint32_t));
    o.bytes = o.freqs + align8(h.postings * sizeof(float));
    o.total = o.bytes + align8(h.term_bytes);
    return o;
}

template <class T>
void put(std::string& out, std::size_t at, const T* items, std::size_t n) {
    if (n) std::memcpy(out.data() + at, items, n * sizeof(T));
}

// Writes a segment of n terms (term(t) in byte order), each with postings(t) -> (rows, freqs,
// count), over the rows [first, first + lengths.size()).
template <class TermOf, class PostingsOf>
std::string write(std::uint64_t first, std::span<const float> lengths, float weight, std::size_t n, TermOf&& term,
                  PostingsOf&& postings) {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof(kMagic));
    h.first_row = first;
    h.rows = lengths.size();
    h.terms = n;
    h.title_weight = weight;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t c = std::get<2>(postings(t));
        h.postings += c;
        h.blocks += (c + kBlock - 1) / kBlock;
        h.term_bytes += term(t).size();
    }
    const Offsets o = *offsets(h);
    std::string out(o.total, '\0');
    std::memcpy(out.data(), &h, sizeof(h));
    put(out, o.lengths, lengths.data(), lengths.size());
    std::uint64_t posting = 0, block = 0, bytes = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const auto [rows, freqs, c] = postings(t);
        const std::string_view text = term(t);
        std::memcpy(out.data() + o.bytes + bytes, text.data(), text.size());
        bytes += text.size();
        std::memcpy(out.data() + o.ends + t * sizeof(std::uint64_t), &bytes, sizeof(bytes));
        TermInfo info{posting, block, static_cast<std::uint32_t>(c), 0.0f, std::numeric_limits<float>::infinity(), 0};
        for (std::size_t at = 0; at < c; at += kBlock) {
            Block b{0, 0.0f, std::numeric_limits<float>::infinity(), 0};
            for (std::size_t i = at; i < std::min(c, at + kBlock); ++i) {
                b.max_freq = std::max(b.max_freq, freqs[i]);
                b.min_length = std::min(b.min_length, lengths[rows[i] - first]);
                b.last_row = rows[i];
            }
            info.max_freq = std::max(info.max_freq, b.max_freq);
            info.min_length = std::min(info.min_length, b.min_length);
            std::memcpy(out.data() + o.blocks + block * sizeof(Block), &b, sizeof(b));
            ++block;
        }
        std::memcpy(out.data() + o.infos + t * sizeof(TermInfo), &info, sizeof(info));
        put(out, o.rows + posting * sizeof(std::uint32_t), rows, c);
        put(out, o.freqs + posting * sizeof(float), freqs, c);
        posting += c;
    }
    return out;
}

}  // namespace

std::optional<Segment> Segment::open(const unsigned char* data, std::size_t size, std::string* why, bool deep) {
    auto fail = [&](const char* what) -> std::optional<Segment> {
        if (why) *why = what;
        return std::nullopt;
    };
    if (size < sizeof(Header) || reinterpret_cast<std::uintptr_t>(data) % 8 != 0)
        return fail("too short, or not aligned");
    Segment s;
    s.h_ = reinterpret_cast<const Header*>(data);
    if (std::memcmp(s.h_->magic, kMagic, sizeof(kMagic)) != 0) return fail("not a keyword segment of this version");
    const std::optional<Offsets> o = offsets(*s.h_);
    if (!o || o->total != size) return fail("its sections do not fit its size");
    if (s.h_->first_row + s.h_->rows > std::numeric_limits<std::uint32_t>::max())
        return fail("its rows pass the largest row a segment holds");
    s.lengths_ = reinterpret_cast<const float*>(data + o->lengths);
    s.ends_ = reinterpret_cast<const std::uint64_t*>(data + o->ends);
    s.infos_ = reinterpret_cast<const TermInfo*>(data + o->infos);
    s.blocks_ = reinterpret_cast<const Block*>(data + o->blocks);
    s.rows_ = reinterpret_cast<const std::uint32_t*>(data + o->rows);
    s.freqs_ = reinterpret_cast<const float*>(data + o->freqs);
    s.bytes_ = reinterpret_cast<const char*>(data + o->bytes);
    if (!deep) return s;
    std::uint64_t end = 0;
    for (std::size_t t = 0; t < s.h_->terms; ++t) {
        if (s.ends_[t] < end || s.ends_[t] > s.h_->term_bytes) return fail("a term's text lies outside the segment");
        end = s.ends_[t];
        if (!s.sound(t)) return fail("a term's postings lie outside the segment");
        if (t > 0 && !(s.term(t - 1) < s.term(t))) return fail("its terms are out of order");
    }
    return s;
}

bool Segment::sound(std::size_t t) const noexcept {
    const TermInfo& i = infos_[t];
    return i.count != 0 && i.first_posting <= h_->postings && i.count <= h_->postings - i.first_posting &&
           i.first_block <= h_->blocks && (i.count + kBlock - 1) / kBlock <= h_->blocks - i.first_block;
}

std::string_view Segment::term(std::size_t t) const noexcept {
    const std::uint64_t cap = h_->term_bytes;
    const std::uint64_t a = std::min(t ? ends_[t - 1] : 0, cap), b = std::min(std::max(ends_[t], a), cap);
    return {bytes_ + a, static_cast<std::size_t>(b - a)};
}

std::optional<std::size_t> Segment::find(std::string_view text) const noexcept {
    std::size_t lo = 0, hi = h_->terms;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (term(mid) < text) lo = mid + 1;
        else hi = mid;
    }
    if (lo < h_->terms && term(lo) == text) return lo;
    return std::nullopt;
}

Builder::Builder(std::uint64_t first_row, std::uint64_t rows, float title_weight)
    : first_(first_row), weight_(title_weight), lengths_(rows, 0.0f), term_ids_(1 << 12, 0) {}

std::uint32_t Builder::id_of(const std::string& term) {
    const std::size_t mask = term_ids_.size() - 1;
    std::size_t i = std::hash<std::string>{}(term) & mask;
    while (term_ids_[i] != 0) {
        if (terms_[term_ids_[i] - 1] == term) return term_ids_[i] - 1;
        i = (i + 1) & mask;
    }
    terms_.push_back(term);
    term_ids_[i] = static_cast<std::uint32_t>(terms_.size());
    if (terms_.size() * 2 > term_ids_.size()) {  // grow: at most half full
        std::vector<std::uint32_t> grown(term_ids_.size() * 2, 0);
        const std::size_t m = grown.size() - 1;
        for (std::uint32_t id = 0; id < terms_.size(); ++id) {
            std::size_t j = std::hash<std::string>{}(terms_[id]) & m;
            while (grown[j] != 0) j = (j + 1) & m;
            grown[j] = id + 1;
        }
        term_ids_.swap(grown);
    }
    return static_cast<std::uint32_t>(terms_.size() - 1);
}

std::uint32_t Builder::term_of(const std::string& word, bool letters) {
    const auto found = words_.find(word);
    if (found != words_.end()) return found->second;
    std::string term = word;
    if (letters) porter_stem(term);
    const std::uint32_t id = id_of(term);
    words_.emplace(word, id);
    return id;
}

void Builder::add(std::uint64_t row, std::span<const std::pair<std::uint32_t, float>> terms, float length) {
    lengths_[row - first_] = length;
    for (const auto& [term, freq] : terms) {
        post_term_.push_back(term);
        post_row_.push_back(static_cast<std::uint32_t>(row));
        post_freq_.push_back(freq);
    }
}

std::string Builder::finish() {
    const std::size_t n = terms_.size();
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return terms_[a] < terms_[b]; });
    std::vector<std::uint32_t> rank(n);
    for (std::uint32_t r = 0; r < n; ++r) rank[order[r]] = r;
    // Postings grouped by term in byte order, each group in row order (a stable counting sort).
    std::vector<std::size_t> start(n + 1, 0);
    for (const std::uint32_t t : post_term_) ++start[rank[t] + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<std::uint32_t> rows(post_row_.size());
    std::vector<float> freqs(post_row_.size());
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t p = 0; p < post_term_.size(); ++p) {
        const std::size_t at = next[rank[post_term_[p]]]++;
        rows[at] = post_row_[p];
        freqs[at] = post_freq_[p];
    }
    return write(
        first_, lengths_, weight_, n, [&](std::size_t t) -> std::string_view { return terms_[order[t]]; },
        [&](std::size_t t) {
            return std::tuple{rows.data() + start[t], freqs.data() + start[t], start[t + 1] - start[t]};
        });
}

std::string merge(std::span<const Segment> segments, std::span<const std::int64_t> map, std::uint64_t map_first,
                  std::uint64_t first_row, std::uint64_t rows, float title_weight) {
    auto moved = [&](std::uint64_t row) -> std::int64_t {
        if (map.empty()) return static_cast<std::int64_t>(row);
        if (row < map_first || row - map_first >= map.size()) return -1;
        return map[row - map_first];
    };
    auto kept = [&](std::int64_t r) {
        return r >= 0 && static_cast<std::uint64_t>(r) >= first_row && static_cast<std::uint64_t>(r) - first_row < rows;
    };
    std::vector<float> lengths(rows, 0.0f);
    for (const Segment& s : segments)
        for (std::uint64_t i = 0; i < s.row_count(); ++i) {
            const std::int64_t r = moved(s.first_row() + i);
            if (kept(r)) lengths[r - first_row] = s.lengths()[i];
        }
    // Every term of every segment, in byte order, once: a k-way walk over the sorted term lists.
    std::vector<std::size_t> at(segments.size(), 0);
    std::vector<std::string> terms;
    std::vector<std::size_t> start{0};
    std::vector<std::uint32_t> out_rows;
    std::vector<float> out_freqs;
    while (true) {
        std::optional<std::string_view> least;
        for (std::size_t k = 0; k < segments.size(); ++k)
            if (at[k] < segments[k].term_count() && (!least || segments[k].term(at[k]) < *least))
                least = segments[k].term(at[k]);
        if (!least) break;
        const std::size_t before = out_rows.size();
        for (std::size_t k = 0; k < segments.size(); ++k) {
            if (at[k] >= segments[k].term_count() || segments[k].term(at[k]) != *least) continue;
            if (!segments[k].sound(at[k])) continue;
            const TermInfo& i = segments[k].info(at[k]);
            const std::uint32_t* r = segments[k].rows(i);
            const float* f = segments[k].freqs(i);
            for (std::size_t p = 0; p < i.count; ++p) {
                const std::int64_t to = segments[k].holds(r[p]) ? moved(r[p]) : -1;
                if (!kept(to) || (out_rows.size() > before && out_rows.back() >= to)) continue;
                out_rows.push_back(static_cast<std::uint32_t>(to));
                out_freqs.push_back(f[p]);
            }
        }
        if (out_rows.size() > before) {
            terms.emplace_back(*least);
            start.push_back(out_rows.size());
        }
        for (std::size_t k = 0; k < segments.size(); ++k)
            if (at[k] < segments[k].term_count() && segments[k].term(at[k]) == *least) ++at[k];
    }
    return write(
        first_row, lengths, title_weight, terms.size(), [&](std::size_t t) -> std::string_view { return terms[t]; },
        [&](std::size_t t) {
            return std::tuple{out_rows.data() + start[t], out_freqs.data() + start[t], start[t + 1] - start[t]};
        });
}

}  // namespace tarnexa::keywords
