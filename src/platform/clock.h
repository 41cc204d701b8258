// The monotonic clock that stands in for the high-resolution performance counter.
// Stateless; any thread; no locks, no allocation.
#pragma once

#include <cstdint>
#include <ctime>

namespace zyl::platform {

// Counter ticks are nanoseconds, so the frequency is fixed.
inline constexpr std::int64_t kCounterFrequency = 1'000'000'000;

inline std::int64_t monotonicNanoseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kCounterFrequency + ts.tv_nsec;
}

inline double monotonicSeconds() {
    return static_cast<double>(monotonicNanoseconds()) / static_cast<double>(kCounterFrequency);
}

}  // namespace zyl::platform
