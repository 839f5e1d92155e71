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

// The wall clock in seconds since the Unix epoch; a clock before the epoch is a fault.
double system_clock_seconds();

// The half-life in days when recent_days is absent (None).
constexpr float kDefaultHalfLifeDays = 30.0f;

inline float half_life_of(const std::optional<double>& recent_days) noexcept {
    return recent_days ? static_cast<float>(*recent_days) : kDefaultHalfLifeDays;
}

}  // namespace tarnexa::scoring
