// Small helpers shared by the benchmarks: a clock, percentiles and result printing.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zyl::bench {

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double percentile(std::vector<std::int64_t> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]);
}

// Prints one result line, human or JSON (one object per line).
inline void report(bool json, const std::string& name, double value, const std::string& unit,
                   double baseline, const std::string& note) {
    const double ratio = baseline > 0 ? value / baseline : 0;
    if (json) {
        std::printf(
            "{\"name\":\"%s\",\"value\":%.3f,\"unit\":\"%s\",\"baseline\":%.3f,\"ratio\":%.3f}\n",
            name.c_str(), value, unit.c_str(), baseline, ratio);
    } else {
        std::printf("%-44s %12.1f %-10s baseline %12.1f  ratio %6.3f  %s\n", name.c_str(), value,
                    unit.c_str(), baseline, ratio, note.c_str());
    }
}

inline bool wantsJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--json")
            return true;
    }
    return false;
}

}  // namespace zyl::bench
