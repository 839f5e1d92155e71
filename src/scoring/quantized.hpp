// Exact search over an int8 copy of the matrix. Every row keeps int8 codes c (|c| <= 127), a
// scale s and a bound term b such that, for any float32 vector v of the matrix's width,
//   |fl32(v . x) - s * (v . c)| <= |v| * b + |v - v'| * s * 127 * sqrt(dims)
// whatever order the float32 dot product sums in (v' being any vector the caller compares c
// with). The scan over the codes gives every row an interval for each similarity, hence (the
// modulations being monotone) for its final score; only rows whose upper bound reaches the k-th
// best lower bound are scored again, in float32, by the pipeline itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/matrix_view.hpp"
#include "scoring/score.hpp"

namespace tarnexa::scoring {

// Bytes a row of codes takes as stored: its dims codes, padded with zeros to a multiple of 4.
constexpr std::size_t code_width(std::size_t dims) noexcept { return (dims + 3) / 4 * 4; }

// The int8 copy of a matrix: row r's codes at codes + r * stride (cols bytes), its scale and
// bound term at scales[r] and bounds[r].
struct QuantizedRows {
    const std::int8_t* codes = nullptr;
    std::size_t stride = 0;
    const float* scales = nullptr;
    const float* bounds = nullptr;
    std::size_t rows = 0;
};

// Codes, scale and bound term of one row of `cols` floats: s = max|x| / 127, c = round(x / s),
// b >= |x - s c| + gamma * |x| (gamma covering float32 rounding of a dot product of `cols` terms),
// rounded up. A row with a non-finite value gets codes 0, scale 0 and an infinite bound.
void quantize_row(const MatrixView& m, std::size_t row, std::int8_t* codes, float& scale, float& bound);

struct QuantizedStats {
    bool scanned = false;         // the codes were scanned (false: the float32 call ran on all rows)
    std::size_t rescored = 0;     // rows scored again in float32
};

// score_candidates(request), computed by scanning the codes and rescoring the survivors. Any
// request it does not serve (a pre-filter, lengths that fault, a pool larger than an eighth of
// the rows, a half-life that is not positive and finite, ...) goes to score_candidates as is.
Outcome search_quantized(const Request& request, const QuantizedRows& q, QuantizedStats* stats = nullptr);

// search_quantized(requests[i], q, &stats[i]) for every i, the served requests sharing one pass
// over the codes (each block of rows scanned once for all of them, each request keeping its own
// bounds, k-th lower bound and survivors): the same outcomes and stats. Requests on a matrix
// other than the first served one's are answered alone.
std::vector<Outcome> search_quantized_many(std::span<const Request> requests, const QuantizedRows& q,
                                           std::vector<QuantizedStats>* stats = nullptr);

}  // namespace tarnexa::scoring
