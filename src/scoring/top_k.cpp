#include "scoring/top_k.hpp"

#include <algorithm>

namespace tarnexa::scoring {
namespace {

// Best first: higher score, then earlier position. Only numbers reach this order. A function
// object, so that the standard algorithms inline it.
struct Before {
    bool operator()(const PoolEntry& a, const PoolEntry& b) const noexcept {
        return a.score > b.score || (a.score == b.score && a.pos < b.pos);
    }
};
constexpr Before before{};

// A heap ordered by `before` keeps the worst kept candidate at its front. It serves small
// pools over many positions, or over fewer positions when the pool is a small part of them.
// Otherwise candidates are collected in a buffer of twice the pool size; each time it fills up
// it is partially selected down to the best k, whose worst score becomes the floor newcomers
// must beat (so large pools over many positions need neither a copy of every score nor a heap
// operation per newcomer).
constexpr std::size_t kHeapLimit = 4096;
constexpr std::size_t kHeapMinPositions = 4096;
constexpr std::size_t kHeapMinPositionsPerPlace = 16;

bool use_heap(std::uint64_t k, std::size_t n_positions) {
    if (k >= n_positions || k > kHeapLimit) return false;
    return n_positions >= kHeapMinPositions || k * kHeapMinPositionsPerPlace <= n_positions;
}

}  // namespace

TopK::TopK(std::uint64_t k, std::size_t n_positions)
    : k_(k), heap_mode_(use_heap(k, n_positions)) {
    if (k_ == 0) floor_ = std::numeric_limits<float>::infinity();  // nothing can enter
    if (heap_mode_) {
        items_.reserve(static_cast<std::size_t>(k_));
    } else {
        // Every position is offered at most once: a buffer of n_positions never fills up.
        capacity_ = k_ < n_positions / 2 ? static_cast<std::size_t>(2 * k_) : n_positions;
        items_.reserve(capacity_);
        if (capacity_ == 0) capacity_ = 1;  // k == 0: nothing enters, the buffer stays empty
    }
}

void TopK::compact() {
    if (items_.size() <= k_) return;  // a buffer of every position: nothing to cut
    const auto last_kept = items_.begin() + static_cast<std::ptrdiff_t>(k_ - 1);
    std::nth_element(items_.begin(), last_kept, items_.end(), before);
    items_.resize(static_cast<std::size_t>(k_));
    // Later positions come after every kept one, so a newcomer equal to the worst kept loses.
    floor_ = last_kept->score;
}

void TopK::offer_heap(float score, std::uint64_t pos) {
    if (items_.size() < k_) {
        items_.push_back({score, pos});
        std::push_heap(items_.begin(), items_.end(), before);
        if (items_.size() == k_) floor_ = items_.front().score;
        return;
    }
    // score > floor_: the newcomer beats the worst kept candidate.
    std::pop_heap(items_.begin(), items_.end(), before);
    items_.back() = {score, pos};
    std::push_heap(items_.begin(), items_.end(), before);
    floor_ = items_.front().score;
}

std::vector<PoolEntry> TopK::finish() && {
    if (!heap_mode_ && items_.size() > k_) {
        std::nth_element(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(k_), items_.end(), before);
        items_.resize(static_cast<std::size_t>(k_));
    }
    std::sort(items_.begin(), items_.end(), before);
    std::erase_if(items_, [](const PoolEntry& c) { return std::isinf(c.score); });
    return std::move(items_);
}

}  // namespace tarnexa::scoring
