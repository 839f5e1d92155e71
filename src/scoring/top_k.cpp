#include "scoring/top_k.hpp"

#include <algorithm>

namespace tarnexa::scoring {
namespace {

// Best first: higher score, then earlier position. Only numbers reach this order. A function
// object, so that the standard algorithms inline it.
struct Before {
    bool operator()(const Candidate& a, const Candidate& b) const noexcept {
        return a.score > b.score || (a.score == b.score && a.pos < b.pos);
    }
};
constexpr Before before{};

// A heap ordered by `before` keeps the worst kept candidate at its front. It serves small
// pools over many positions, or over fewer positions when the pool is a small part of them;
// otherwise every candidate is collected and partially selected.
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
    items_.reserve(heap_mode_ ? static_cast<std::size_t>(k_) : n_positions);
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

std::vector<Candidate> TopK::finish() && {
    if (!heap_mode_ && items_.size() > k_) {
        std::nth_element(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(k_), items_.end(), before);
        items_.resize(static_cast<std::size_t>(k_));
    }
    std::sort(items_.begin(), items_.end(), before);
    std::erase_if(items_, [](const Candidate& c) { return std::isinf(c.score); });
    return std::move(items_);
}

}  // namespace tarnexa::scoring
