// The player's log lines: a text, or a text followed by " (" the HRESULT in lower-case hex ")".
// Any thread; the logger takes its own locks.
#pragma once

#include <cstdint>
#include <ios>
#include <string_view>

#include "com/com_types.h"
#include "module/logging/logstream.h"

namespace ZYL::player {

inline void Log(std::uint32_t level, std::string_view text) {
    QN_LOG(qnLogging::root_logger(), level) << text;
}

inline void LogHr(std::uint32_t level, std::string_view text, HRESULT hr) {
    QN_LOG(qnLogging::root_logger(), level)
        << text << " (" << std::hex << static_cast<std::uint32_t>(hr) << std::dec << ")";
}

inline void LogErr(std::string_view text, HRESULT hr) {
    LogHr(qnLogging::level::err, text, hr);
}

}  // namespace ZYL::player
