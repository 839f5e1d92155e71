// The convex fusion of a hybrid search's two sides: each candidate's semantic and keyword
// scores scaled to 0..1 over the candidates, then weighted and summed.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnexa::native::fusion {

// One candidate's fused score and its two parts (each rounded to four decimals; the score is
// the sum of the rounded parts).
struct Fused {
    std::size_t at;  // the candidate's position in the input
    double score;
    double semantic;
    double keyword;
};

// The candidates fused, best first. semantic[i] and keyword[i] are candidate i's scores, NaN
// where that side has none for it. Each side is scaled by its least and greatest score over
// the candidates (a side whose scores are all equal scales them to 1; NaN to 0),
// then weighted by w_semantic / (w_semantic + w_keyword) and w_keyword / (...). Ties keep the
// input's order. Throws std::invalid_argument for lengths that differ or weights that are
// negative, not finite or both 0.
std::vector<Fused> convex(const std::vector<double>& semantic, const std::vector<double>& keyword, double w_semantic,
                          double w_keyword);

}  // namespace tarnexa::native::fusion
