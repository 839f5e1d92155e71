#include "scoring/decay.hpp"

#include <chrono>

#include "common/fault.hpp"

namespace tarnexa::scoring {

double system_clock_seconds() {
    using namespace std::chrono;
    const auto since_epoch = system_clock::now().time_since_epoch();
    if (since_epoch.count() < 0) fault("the system clock is set before the Unix epoch");
    const auto secs = duration_cast<seconds>(since_epoch);
    const auto nanos = duration_cast<nanoseconds>(since_epoch - secs);
    return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

}  // namespace tarnexa::scoring
