// BM25 over keyword segments: the best k rows for a query's terms, exact, reading only the
// blocks of postings that can reach the k-th best score found so far (MaxScore over whole terms,
// and windows of blocks skipped on their greatest scores).
//
// The score of a row for a query is the sum over the query's terms t it holds of
//
//     idf(t) * f * (k1 + 1) / (f + k1 * (1 - b + b * length / average_length))
//     idf(t) = max(1e-6, ln((documents - n(t) + 0.5) / (n(t) + 0.5)))
//
// f being the term's weighted frequency in the row (title_weight for each time in the title, 1
// for each time in the text), length the row's weighted number of words, documents the number
// of live documents, n(t) how many of them hold t and average_length their mean length. A term
// in more than half of the documents weighs next to nothing, as in SQLite's FTS5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "native/keywords/segment.hpp"

namespace tarnexa::keywords {

inline constexpr double kK1 = 1.2, kB = 0.75, kMinIdf = 1e-6;

// The rows a search may use: below limit and, with a mask, those it marks (rows past the mask
// are not).
struct Rows {
    const unsigned char* mask = nullptr;
    std::size_t mask_size = 0;
    std::uint64_t limit = 0;
    bool operator()(std::uint64_t row) const noexcept {
        return row < limit && (mask == nullptr || (row < mask_size && mask[row] != 0));
    }
};

struct Collection {
    double documents;       // live documents
    double average_length;  // their mean weighted length
};

struct Term {
    std::string text;
    double documents;  // live documents that hold it
};

double idf(double documents, double holding) noexcept;

// How many of the rows `live` allows hold each term.
std::vector<std::uint64_t> holding(std::span<const Segment> segments, std::span<const std::string> terms, Rows live);
// The total weighted length of the rows live allows.
double total_length(std::span<const Segment> segments, Rows live);

// The best k (row, score) pairs among the rows allowed, best first, ties by row.
std::vector<std::pair<std::uint64_t, double>> best(std::span<const Segment> segments, std::span<const Term> terms,
                                                   Collection collection, Rows allowed, std::size_t k);

}  // namespace tarnexa::keywords
