// The candidate pool: the k best positions of a score stream, best first.
//
// Scores are ordered with NaN below every number, so a NaN never takes a pool place from a
// number. NaN and minus infinity are never kept at all: they would only fill places the
// finite filter empties again, and they never displace a better score. Plus infinity takes
// a place and is dropped at the end, as the finite filter requires. Among equal scores the
// earlier position comes first.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tarnexa::scoring {

struct PoolEntry {
    float score;
    std::uint64_t pos;
};

class TopK {
public:
    TopK(std::uint64_t k, std::size_t n_positions);

    void offer(float score, std::uint64_t pos) {
        if (!(score > floor_)) return;  // also refuses NaN and minus infinity
        if (heap_mode_) {
            offer_heap(score, pos);
        } else {
            items_.push_back({score, pos});
            if (items_.size() == capacity_) compact();
        }
    }

    // The pool in descending score order, plus infinity removed.
    std::vector<PoolEntry> finish() &&;

private:
    void offer_heap(float score, std::uint64_t pos);
    void compact();

    std::uint64_t k_;
    bool heap_mode_;
    float floor_ = -std::numeric_limits<float>::infinity();
    std::size_t capacity_ = 0;  // outside heap mode: items_ is cut to the best k when this full
    std::vector<PoolEntry> items_;  // a min-heap of the best k in heap mode
};

}  // namespace tarnexa::scoring
