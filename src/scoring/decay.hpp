// Hyperbolic temporal decay: a document of age a days keeps 1 / (1 + a / h) of its score.
#pragma once

#include <optional>

namespace tarnexa::scoring {

struct Decay {
    double now;  // seconds since the Unix epoch, read once per call
    float half_life;

    // The decayed score for a document with Unix timestamp `t` (seconds).
    // Written without branches so that a loop over rows vectorises; a timestamp that is not
    // positive (zero, negative, NaN) leaves the score unchanged.
    float apply(float score, double t) const noexcept {
        double age = (now - t) / 86400.0;
        age = age > 0.0 ? age : 0.0;  // a future timestamp or a NaN difference is age 0
        const float ratio = static_cast<float>(age) / half_life;
        const float factor = 1.0f / (ratio + 1.0f);
        const float decayed = factor * score;
        return t > 0.0 ? decayed : score;
    }
};

// An upper bound of Decay::apply(score, t) for any score up to `score`, without apply()'s float64
// division and first float32 one. Its ratio is at most the one apply() computes (age / half_life,
// which apply()'s roundings move by under 2^-22 of itself while its age is a normal float32: hence
// the smallest difference taken; a ratio below 2^-24 leaves the factor at 1 in both), so its factor
// is at least apply()'s: the bound for a score above zero. Otherwise apply() gives at most zero.
struct DecayBound {
    static constexpr double kMinSeconds = 1e-20;
    double now = 0.0;
    double per_second = 0.0;  // at most 1 / (86400 half_life)

    static DecayBound of(const Decay& d) noexcept {
        return {d.now, 1.0 / (86400.0 * static_cast<double>(d.half_life)) * (1.0 - 0x1p-50)};
    }
    float apply(float score, double t) const noexcept {
        const double seconds = now - t;
        const double scaled = seconds * per_second;
        const float ratio = static_cast<float>(seconds >= kMinSeconds ? scaled : 0.0) * (1.0f - 0x1p-20f);
        const float factor = 1.0f / (ratio + 1.0f);
        const float decayed = score <= 0.0f ? 0.0f : factor * score;  // NaN stays NaN
        return t > 0.0 ? decayed : score;
    }
};

// The wall clock in seconds since the Unix epoch; a clock before the epoch is a fault.
double system_clock_seconds();

// The half-life in days when recent_days is absent (None).
constexpr float kDefaultHalfLifeDays = 30.0f;

inline float half_life_of(const std::optional<double>& recent_days) noexcept {
    return recent_days ? static_cast<float>(*recent_days) : kDefaultHalfLifeDays;
}

}  // namespace tarnexa::scoring
