// The player's log lines: a text, or a text followed by " (" the HRESULT in lower-case hex ")";
// and the engine's diagnostics routed to the same log.
// Any thread; the logger takes its own locks.
#pragma once

#include <cstdint>
#include <ios>
#include <string_view>

#include "com/com_types.h"
#include "directshow/diagnostics.h"
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

// The engine's own words (why a file cannot be opened, what it had to skip) go to this log,
// so a host's user can read why a file did not play. Idempotent; any thread.
inline void RouteEngineDiagnostics() {
    dshow::SetDiagnosticSink([](dshow::Severity severity, const char* text) {
        Log(severity == dshow::Severity::Error     ? qnLogging::level::err
            : severity == dshow::Severity::Warning ? qnLogging::level::warn
                                                   : qnLogging::level::info,
            text);
    });
}

}  // namespace ZYL::player
