// Media times scaled by a playback rate. "To the end" travels as the largest time, and a
// double that holds it (or anything past the 64-bit range) has no integer to convert back to:
// scaled times saturate at the ends of the range instead.
//
// Pure functions: any thread, no locks.
#pragma once

#include <cmath>
#include <limits>

#include "directshow/dshow_types.h"

// time * factor, rounded to the nearest unit; the largest (smallest) time when it is out of
// range, and 0 for a factor that is not a number.
inline REFERENCE_TIME ScaleTime(REFERENCE_TIME time, double factor) {
    constexpr REFERENCE_TIME kMax = std::numeric_limits<REFERENCE_TIME>::max();
    constexpr REFERENCE_TIME kMin = std::numeric_limits<REFERENCE_TIME>::min();
    if (time == kMax || time == kMin)
        return factor < 0 ? (time == kMax ? kMin : kMax) : time;
    const double scaled = std::round(static_cast<double>(time) * factor);
    if (std::isnan(scaled))
        return 0;
    // 2^63 is the first double past the range; every double below it converts.
    if (scaled >= 9223372036854775808.0)
        return kMax;
    if (scaled < -9223372036854775808.0)
        return kMin;
    return static_cast<REFERENCE_TIME>(scaled);
}

// a + b, saturating at the ends of the range.
inline REFERENCE_TIME AddTime(REFERENCE_TIME a, REFERENCE_TIME b) {
    REFERENCE_TIME sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<REFERENCE_TIME>::max()
                     : std::numeric_limits<REFERENCE_TIME>::min();
    return sum;
}
