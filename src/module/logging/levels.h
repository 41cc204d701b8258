// Log levels (single bits of a 32-bit mask), their printed names and the cumulative masks.
// Constants and pure functions only.
#pragma once

#include <cstdint>
#include <string_view>

namespace qnLogging {

namespace level {
inline constexpr std::uint32_t fatal = 0x01;
inline constexpr std::uint32_t err = 0x02;
inline constexpr std::uint32_t warn = 0x04;
inline constexpr std::uint32_t info = 0x08;
inline constexpr std::uint32_t trace = 0x10;
inline constexpr std::uint32_t debug = 0x20;
}  // namespace level

// Everything up to and including a level; trace lies below debug.
namespace mask {
inline constexpr std::uint32_t none = 0x00;
inline constexpr std::uint32_t fatal = 0x01;
inline constexpr std::uint32_t err = 0x03;
inline constexpr std::uint32_t warn = 0x07;
inline constexpr std::uint32_t info = 0x0F;
inline constexpr std::uint32_t trace = 0x1F;
inline constexpr std::uint32_t debug = 0x3F;
inline constexpr std::uint32_t all = 0xFF;
}  // namespace mask

inline constexpr std::uint64_t no_group = ~std::uint64_t{0};

constexpr std::string_view level_name(std::uint32_t value) {
    switch (value) {
        case level::fatal:
            return "fatal";
        case level::err:
            return "err";
        case level::warn:
            return "warn";
        case level::info:
            return "info";
        case level::trace:
            return "trace";
        case level::debug:
            return "debug";
        default:
            return "unknwn";
    }
}

constexpr std::wstring_view level_name_w(std::uint32_t value) {
    switch (value) {
        case level::fatal:
            return L"fatal";
        case level::err:
            return L"err";
        case level::warn:
            return L"warn";
        case level::info:
            return L"info";
        case level::trace:
            return L"trace";
        case level::debug:
            return L"debug";
        default:
            return L"unknwn";
    }
}

template <class Ch>
constexpr std::basic_string_view<Ch> level_name_t(std::uint32_t value) {
    if constexpr (sizeof(Ch) == 1) {
        return level_name(value);
    } else {
        return level_name_w(value);
    }
}

}  // namespace qnLogging
