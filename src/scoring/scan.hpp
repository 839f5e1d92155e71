// The similarity scan: one pass over the scored rows computes every dot product a row
// needs, applies the row modulations in their fixed order and feeds the candidate pool.
#pragma once

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

}  // namespace tarnexa::scoring
