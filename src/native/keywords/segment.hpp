// A segment of the keyword index: the postings of a contiguous range of cache rows, immutable
// once written, read in place from a mapped file. Little-endian, every section 8-byte aligned:
//
//   Header                          64 bytes
//   float32  lengths[rows]          each row's weighted length (0 for a row with no document)
//   uint64   term_ends[terms]       end of each term's text in the term bytes
//   TermInfo infos[terms]           terms in byte order
//   Block    blocks[blocks]         each term's postings in blocks of kBlock, per block its last
//                                   row, greatest weighted frequency and least length
//   uint32   rows[postings]         per term ascending, absolute cache rows
//   float32  freqs[postings]        weighted term frequency: title_weight * in title + in text
//   char     term_bytes[...]
//
// A term's bound over a block (or the segment) comes from the block's greatest frequency and
// least length: the score grows with the one and falls with the other, so no row beats it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnexa::keywords {

inline constexpr std::size_t kBlock = 64;
inline constexpr char kMagic[8] = {'T', 'N', 'X', 'K', 'W', 'D', 0, 1};

struct Header {
    char magic[8];
    std::uint64_t first_row, rows, terms, postings, blocks, term_bytes;
    float title_weight;
    std::uint32_t reserved;
};
static_assert(sizeof(Header) == 64);

struct TermInfo {
    std::uint64_t first_posting, first_block;
    std::uint32_t count;  // postings (rows holding the term)
    float max_freq, min_length;
    std::uint32_t reserved;
};
static_assert(sizeof(TermInfo) == 32);

struct Block {
    std::uint32_t last_row;
    float max_freq, min_length;
    std::uint32_t reserved;
};
static_assert(sizeof(Block) == 16);

// A segment read in place. `open` checks that every section lies inside the bytes and that
// every term's postings and blocks do; what it does not check (each posting's row, order) can
// make answers wrong but never reads outside the bytes (searches check each row they use).
// A damaged file is found by its digest before it is used.
class Segment {
public:
    // `deep` checks every term too (once, when a file is first mapped); without it only the
    // header and the sections, and each term when it is looked up.
    static std::optional<Segment> open(const unsigned char* data, std::size_t size, std::string* why,
                                       bool deep = false);

    const Header& header() const noexcept { return *h_; }
    std::uint64_t first_row() const noexcept { return h_->first_row; }
    std::uint64_t row_count() const noexcept { return h_->rows; }
    std::size_t term_count() const noexcept { return h_->terms; }
    std::string_view term(std::size_t t) const noexcept;
    const TermInfo& info(std::size_t t) const noexcept { return infos_[t]; }
    std::optional<std::size_t> find(std::string_view term) const noexcept;
    // Whether term t's postings and blocks lie inside the segment.
    bool sound(std::size_t t) const noexcept;
    // The term's postings, when the segment holds it and they lie inside it.
    const TermInfo* lookup(std::string_view term) const noexcept {
        const auto t = find(term);
        return t && sound(*t) ? &infos_[*t] : nullptr;
    }
    float length(std::uint64_t row) const noexcept { return lengths_[row - h_->first_row]; }
    bool holds(std::uint64_t row) const noexcept { return row >= h_->first_row && row - h_->first_row < h_->rows; }
    const std::uint32_t* rows(const TermInfo& i) const noexcept { return rows_ + i.first_posting; }
    const float* freqs(const TermInfo& i) const noexcept { return freqs_ + i.first_posting; }
    const Block* blocks(const TermInfo& i) const noexcept { return blocks_ + i.first_block; }
    std::span<const float> lengths() const noexcept { return {lengths_, h_->rows}; }

private:
    const Header* h_ = nullptr;
    const float* lengths_ = nullptr;
    const std::uint64_t* ends_ = nullptr;
    const TermInfo* infos_ = nullptr;
    const Block* blocks_ = nullptr;
    const std::uint32_t* rows_ = nullptr;
    const float* freqs_ = nullptr;
    const char* bytes_ = nullptr;
};

// Builds segments from documents given in row order.
class Builder {
public:
    Builder(std::uint64_t first_row, std::uint64_t rows, float title_weight);
    // The term id of a word as for_each_token gives it (stemmed once per distinct word).
    std::uint32_t term_of(const std::string& word, bool letters);
    // The document at row (first_row <= row < first_row + rows, ascending across calls): its
    // (term id, weighted count) pairs, each term once, and its weighted length.
    void add(std::uint64_t row, std::span<const std::pair<std::uint32_t, float>> terms, float length);
    std::string finish();

private:
    std::uint64_t first_;
    float weight_;
    std::vector<float> lengths_;
    std::vector<std::string> terms_;  // by id
    std::vector<std::uint32_t> term_ids_;  // a hash table of ids + 1 (0: empty)
    std::unordered_map<std::string, std::uint32_t> words_;  // word as read -> term id
    std::vector<std::uint32_t> post_term_, post_row_;
    std::vector<float> post_freq_;
    std::uint32_t id_of(const std::string& term);
};

// The segments (ascending, disjoint row ranges) as one, each row r moved to map[r - map_first]
// (dropped where that is negative, rows past the map dropped; map ascending where not negative),
// or kept where it is when map is empty. The new segment covers [first_row, first_row + rows).
std::string merge(std::span<const Segment> segments, std::span<const std::int64_t> map, std::uint64_t map_first,
                  std::uint64_t first_row, std::uint64_t rows, float title_weight);

}  // namespace tarnexa::keywords
