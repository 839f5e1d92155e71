#include "mmr/mmr.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kernels/dot.hpp"
#include "kernels/prefetch.hpp"

namespace tarnexa::mmr {
namespace {

// Buffers of at least kHugeBytes are aligned to and advised for 2 MiB pages; smaller ones to a
// cache line.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBytes = std::size_t{4} << 20;
constexpr std::size_t kLine = 64;

// Rows are copied kGatherChunk at a time, and a chunk's similarities to the first row computed
// while it is in L1/L2. Row i + kGatherAhead is prefetched while row i is copied.
constexpr std::size_t kGatherChunk = 64;
constexpr std::size_t kGatherAhead = 8;

// Uninitialised storage for rows x cols floats.
float* allocate_floats(std::size_t rows, std::size_t cols) {
    if (rows == 0 || cols == 0) return nullptr;
    if (rows > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(float) / cols)
        throw std::bad_alloc();
    const std::size_t bytes = rows * cols * sizeof(float);
    const std::size_t align = bytes >= kHugeBytes ? kHugePage : kLine;
    const std::size_t size = (bytes + align - 1) / align * align;
    void* p = std::aligned_alloc(align, size);
    if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (align == kHugePage) madvise(p, size, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return static_cast<float*>(p);
}

// Forced inline (see kernels::prefetch_bytes).
[[gnu::always_inline]] inline void prefetch_row(const MatrixView& matrix, std::uint64_t row) {
    if (row >= matrix.rows || matrix.col_stride != static_cast<std::ptrdiff_t>(sizeof(float))) return;
    kernels::prefetch_bytes(matrix.data + static_cast<std::ptrdiff_t>(row) * matrix.row_stride,
                            matrix.cols * sizeof(float));
}

}  // namespace

void DenseRows::Free::operator()(float* p) const noexcept { std::free(p); }

DenseRows::DenseRows(std::size_t rows, std::size_t cols)
    : values_(allocate_floats(rows, cols)), rows_(rows), cols_(cols) {}

DenseRows gather_rows(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                      float* first_similarities) {
    DenseRows g(rows.size(), matrix.cols);
    const std::size_t n = rows.size();
    const bool dense = matrix.col_stride == static_cast<std::ptrdiff_t>(sizeof(float));
    for (std::size_t i = 0; i < n && i < kGatherAhead; ++i) prefetch_row(matrix, rows[i]);
    for (std::size_t base = 0; base < n; base += kGatherChunk) {
        const std::size_t end = std::min(n, base + kGatherChunk);
        for (std::size_t i = base; i < end; ++i) {
            const std::uint64_t row = rows[i];
            if (row >= matrix.rows) fault("assertion failed: index < dim");
            if (i + kGatherAhead < n) prefetch_row(matrix, rows[i + kGatherAhead]);
            float* dst = g.row(i);
            const std::byte* src = matrix.data + static_cast<std::ptrdiff_t>(row) * matrix.row_stride;
            if (dense) {
                if (g.cols()) std::memcpy(dst, src, g.cols() * sizeof(float));
            } else {
                for (std::size_t c = 0; c < g.cols(); ++c) dst[c] = matrix.get(row, c);
            }
        }
        if (first_similarities) {
            const float* vec = g.row(0);
            float* out = first_similarities + base;
            kernels::dot_rows(g.view(base, end - base), nullptr, end - base, &vec, 1, &out);
        }
    }
    return g;
}

CandidateRows gather_candidates(const MatrixView& matrix, std::span<const std::uint64_t> rows,
                             std::uint64_t k) {
    std::vector<float> first(k > 1 && rows.size() > 1 ? rows.size() : 0);
    DenseRows g = gather_rows(matrix, rows, first.empty() ? nullptr : first.data());
    return {std::move(g), std::move(first)};
}

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// The state of one selection. redundancy[i] holds the greatest similarity of position i to the
// first applied[i] choices (a NaN similarity leaves it unchanged); the eager loop keeps every
// position up to date, the lazy one only the positions it must look at.
class Selector {
public:
    Selector(std::span<const std::uint64_t> reported, std::span<const double> relevance,
             CandidateRows& c, std::uint64_t k, double lambda)
        : reported_(reported), relevance_(relevance), g_(c.g), k_(k), lambda_(lambda),
          rest_(1.0 - lambda), n_(reported.size()), redundancy_(n_, kNegInf), selected_(n_, 0),
          sim_(std::move(c.first_similarities)) {}

    Selection run() {
        result_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n_, std::max<std::uint64_t>(k_, 1))));
        result_.emplace_back(reported_[0], relevance_[0] * lambda_);
        if (sim_.empty()) return std::move(result_);  // k <= 1 or a single candidate
        choose(0);
        if (!lazy_applies() || !run_lazy()) run_eager();
        return std::move(result_);
    }

private:
    // The mmr score of position i with its redundancy as it stands: both products rounded, then
    // subtracted.
    double score(std::size_t i) const {
        const double gain = relevance_[i] * lambda_;
        const double penalty = redundancy_[i] * rest_;
        return gain - penalty;
    }
    void raise(std::size_t i, float sim) {
        const double s = static_cast<double>(sim);
        if (s > redundancy_[i]) redundancy_[i] = s;
    }
    void choose(std::size_t pos) {
        selected_[pos] = 1;
        chosen_.push_back(pos);
    }
    bool more_wanted() const { return result_.size() < k_ && result_.size() < n_; }

    // Similarities of every position to gathered row p, in sim_.
    void similarity_row(std::size_t p) {
        const float* vec = g_.row(p);
        float* dst = sim_.data();
        kernels::dot_rows(g_.view(), nullptr, n_, &vec, 1, &dst);
    }

    // One pass per choice: raise every redundancy with the latest choice's similarities and score
    // the unselected positions; the first strictly greatest wins, a NaN never. Expects every
    // position's redundancy to hold all choices but the latest, whose similarities are in sim_.
    void run_eager() {
        while (more_wanted()) {
            double best = kNegInf;
            std::size_t best_pos = 0;
            for (std::size_t i = 0; i < n_; ++i) {
                raise(i, sim_[i]);
                const double sc = selected_[i] ? kNegInf : score(i);
                if (sc > best) {
                    best = sc;
                    best_pos = i;
                }
            }
            if (best == kNegInf) return;
            result_.emplace_back(reported_[best_pos], best);
            choose(best_pos);
            if (more_wanted()) similarity_row(best_pos);  // a later choice reads them
        }
    }

    // With 0 < 1 - lambda < infinity, a score can only fall as its redundancy rises (taking NaN
    // as minus infinity, which is never chosen), so a score computed from an out-of-date
    // redundancy bounds the true one from above. The lazy loop keeps the candidates in a heap by
    // that bound (ties: earlier position first) and brings only the top up to date, until an
    // up-to-date candidate is on top: it is the one the eager loop would choose. Positions whose
    // bound is minus infinity or NaN can never be chosen and leave the heap.
    bool lazy_applies() const { return rest_ > 0.0 && rest_ < -kNegInf; }

    struct Bound {
        double score;
        std::size_t pos;
    };
    // The heap's order: the front is the greatest score, the earliest position among equals.
    static bool below(const Bound& a, const Bound& b) {
        return a.score < b.score || (a.score == b.score && a.pos > b.pos);
    }

    // Brings position i's redundancy up to date with every choice.
    void catch_up(std::size_t i) {
        for (std::size_t c = applied_[i]; c < chosen_.size(); ++c) {
            const float* vec = g_.row(chosen_[c]);
            float sim;
            float* dst = &sim;
            kernels::dot_rows(g_.view(i, 1), nullptr, 1, &vec, 1, &dst);
            raise(i, sim);
        }
        applied_[i] = chosen_.size();
    }

    // Runs while it pays and returns true when the selection is complete. Once it has brought
    // more positions up to date than a pass over all of them is worth, it prepares the state
    // run_eager expects and returns false.
    bool run_lazy() {
        for (std::size_t i = 0; i < n_; ++i) raise(i, sim_[i]);
        applied_.assign(n_, 1);
        std::vector<Bound> heap;
        heap.reserve(n_);
        for (std::size_t i = 1; i < n_; ++i) {
            const double sc = score(i);
            if (sc > kNegInf) heap.push_back({sc, i});
        }
        std::make_heap(heap.begin(), heap.end(), below);
        std::size_t updates = 0;
        while (more_wanted()) {
            if (heap.empty()) return true;  // nothing left that can be chosen
            std::pop_heap(heap.begin(), heap.end(), below);
            Bound& top = heap.back();
            if (applied_[top.pos] == chosen_.size()) {
                result_.emplace_back(reported_[top.pos], top.score);
                choose(top.pos);
                heap.pop_back();
                continue;
            }
            if (++updates > n_ / kLazyShare) {
                hand_over();
                return false;
            }
            catch_up(top.pos);
            top.score = score(top.pos);
            if (top.score > kNegInf)
                std::push_heap(heap.begin(), heap.end(), below);
            else
                heap.pop_back();
        }
        return true;
    }

    // Every redundancy up to date with all choices but the latest, whose similarities go to sim_.
    void hand_over() {
        const std::size_t latest = chosen_.size() - 1;
        for (std::size_t c = *std::min_element(applied_.begin(), applied_.end()); c < latest; ++c) {
            similarity_row(chosen_[c]);
            for (std::size_t i = 0; i < n_; ++i)
                if (applied_[i] <= c) raise(i, sim_[i]);
        }
        similarity_row(chosen_[latest]);
    }

    // The lazy loop gives up after bringing n / kLazyShare positions up to date in one selection.
    static constexpr std::size_t kLazyShare = 4;

    std::span<const std::uint64_t> reported_;
    std::span<const double> relevance_;
    const DenseRows& g_;
    std::uint64_t k_;
    double lambda_, rest_;
    std::size_t n_;
    std::vector<double> redundancy_;
    std::vector<char> selected_;
    std::vector<float> sim_;                 // similarities of one choice to every position
    std::vector<std::size_t> chosen_;        // positions in the order of choice
    std::vector<std::size_t> applied_;       // per position: choices its redundancy holds
    Selection result_;
};

}  // namespace

Selection select_gathered(std::span<const std::uint64_t> reported, std::span<const double> relevance,
                 CandidateRows c, std::uint64_t k, double lambda) {
    if (reported.empty()) return {};
    return Selector(reported, relevance, c, k, lambda).run();
}

Selection mmr_select(std::span<const std::uint64_t> candidates, const VecView<float>& similarities,
                     const MatrixView& matrix, std::uint64_t k, double lambda) {
    if (candidates.empty()) return {};
    CandidateRows c = gather_candidates(matrix, candidates, k);
    std::vector<double> relevance(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        check_index(candidates[i], similarities.size());
        relevance[i] = static_cast<double>(similarities.get(candidates[i]));
    }
    return select_gathered(candidates, relevance, std::move(c), k, lambda);
}

}  // namespace tarnexa::mmr
