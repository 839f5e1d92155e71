#include "native/fusion/convex.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "scoring/score.hpp"

namespace tarnexa::native::fusion {
namespace {

// Each score of a side scaled by the side's least and greatest over the candidates.
std::vector<double> scaled(const std::vector<double>& scores) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (double s : scores)
        if (!std::isnan(s)) lo = std::min(lo, s), hi = std::max(hi, s);
    std::vector<double> out(scores.size(), 0.0);
    for (std::size_t i = 0; i < scores.size(); ++i)
        if (!std::isnan(scores[i])) out[i] = hi > lo ? (scores[i] - lo) / (hi - lo) : 1.0;
    return out;
}

}  // namespace

std::vector<Fused> convex(const std::vector<double>& semantic, const std::vector<double>& keyword, double w_semantic,
                          double w_keyword) {
    if (semantic.size() != keyword.size()) throw std::invalid_argument("the two sides' scores differ in length");
    if (!std::isfinite(w_semantic) || !std::isfinite(w_keyword) || w_semantic < 0 || w_keyword < 0 ||
        w_semantic + w_keyword <= 0)
        throw std::invalid_argument("the weights must be finite, 0 or more, and not both 0");
    const double total = w_semantic + w_keyword;
    const std::vector<double> s = scaled(semantic), k = scaled(keyword);
    std::vector<Fused> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double a = scoring::round4(w_semantic / total * s[i]), b = scoring::round4(w_keyword / total * k[i]);
        out[i] = {i, scoring::round4(a + b), a, b};
    }
    std::stable_sort(out.begin(), out.end(), [](const Fused& x, const Fused& y) { return x.score > y.score; });
    return out;
}

}  // namespace tarnexa::native::fusion
