// The debug-output sink that stands in for OutputDebugString.
//
// Text goes to syslog at debug priority, one syslog record per completed line (each thread
// collects its own partial line, so no lock is taken and threads do not mix within a record),
// and, when ZYLAVI_DEBUG_OUTPUT=stderr, straight to standard error as well.
// Tests see every call exactly as made through setDebugOutputForTesting.
#pragma once

#include <string_view>

namespace zyl::platform {

class DebugOutputSink {
public:
    virtual ~DebugOutputSink() = default;
    virtual void output(std::string_view text) = 0;
};

void debugOutput(std::string_view text);
// nullptr restores the system sink.
void setDebugOutputForTesting(DebugOutputSink* replacement);

}  // namespace zyl::platform
