// The similarity scan: one pass over the scored rows computes every dot product a row
// needs, applies the row modulations in their fixed order and feeds the candidate pool.
#pragma once

#include <limits>
#include <optional>

#include "common/views.hpp"
#include "scoring/decay.hpp"
#include "scoring/top_k.hpp"

namespace tarnexa::scoring {

struct SimilarityScan {
    MatrixView matrix;
    const std::uint64_t* rows = nullptr;  // scored rows by position; null: every row
    std::size_t count = 0;                // number of positions
    const float* query = nullptr;
    const float* trajectory = nullptr;    // unit direction, or null
    const float* contrastive = nullptr;   // unit negative query, or null
    std::optional<Decay> decay;
    const VecView<double>* timestamps = nullptr;  // by matrix row, checked long enough
    const BoolView* mask = nullptr;               // by matrix row, checked long enough
    float threshold = 0.0f;
};

void run_scan(const SimilarityScan& scan, TopK& pool);

// The trajectory blend: score = kTrajQueryWeight * sim + kTrajWeight * traj.
constexpr float kTrajQueryWeight = 0.7f;
constexpr float kTrajWeight = 0.3f;

// The row modulations in their fixed order (trajectory blend, decay, mask, threshold,
// contrastive penalty) applied to one row's similarities. Every step is a float32 operation that
// never decreases when sim or traj grows or contra shrinks, so bounds on the three similarities
// bound the final score.
// The same on a row's values read already: its timestamp (read when kDecay) and mask byte (when kMask).
template <bool kTraj, bool kDecay, bool kMask, bool kThreshold, bool kContrast>
[[gnu::always_inline]] inline float modulate_values(const SimilarityScan& s, float sim, float traj, float contra,
                                                    double timestamp, bool keep) {
    constexpr float kNegInf = -std::numeric_limits<float>::infinity();
    float score = sim;
    if constexpr (kTraj) {
        const float a = score * kTrajQueryWeight;
        const float b = traj * kTrajWeight;
        score = a + b;
    }
    if constexpr (kDecay) score = s.decay->apply(score, timestamp);
    if constexpr (kMask) score = keep ? score : kNegInf;
    if constexpr (kThreshold) score = score < s.threshold ? kNegInf : score;
    if constexpr (kContrast) {
        const float penalty = contra * 0.5f;
        score = score - penalty;
    }
    return score;
}

template <bool kTraj, bool kDecay, bool kMask, bool kThreshold, bool kContrast>
[[gnu::always_inline]] inline float modulate_row(const SimilarityScan& s, std::size_t row, float sim,
                                                 float traj, float contra) {
    return modulate_values<kTraj, kDecay, kMask, kThreshold, kContrast>(
        s, sim, traj, contra, kDecay ? s.timestamps->get(row) : 0.0, kMask ? s.mask->get(row) : true);
}

// Which modulations a scan applies, as the bits of modulate_row's template arguments in order.
inline unsigned modulation_bits(const SimilarityScan& s) noexcept {
    return (s.trajectory ? 1u : 0u) | (s.decay ? 2u : 0u) | (s.mask ? 4u : 0u) |
           (s.threshold > 0.0f ? 8u : 0u) | (s.contrastive ? 16u : 0u);
}

}  // namespace tarnexa::scoring
