// Query-side vectors of a scoring call: the prepared query, the trajectory direction and
// the contrastive vector, each a unit-length float32 copy owned by the call.
#pragma once

#include <optional>
#include <vector>

#include "common/views.hpp"

namespace tarnexa::scoring {

using Vector = std::vector<float>;

// Divides v by the float32 square root of its float32 sum of squares s when s > 0;
// returns s.
float unit_normalize(Vector& v) noexcept;

Vector copy_of(const VecView<float>& v);

// The unit query, blended 0.5/0.5 with the normalised centroid of `like_rows` when given
// (replaced by it when the query has no energy). nullopt when `like_rows` is given but empty.
std::optional<Vector> prepare_query(const MatrixView& matrix, const VecView<float>& query,
                                    const std::optional<std::vector<std::uint64_t>>& like_rows);

// normalise(to - from); a vector of length one is repeated to the other's length.
Vector trajectory_direction(const VecView<float>& from, const VecView<float>& to);

}  // namespace tarnexa::scoring
