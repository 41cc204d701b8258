#include "platform/debug_output.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zyl::platform {
namespace {

std::atomic<DebugOutputSink*> g_replacement{nullptr};

bool toStderr() {
    static const bool enabled = [] {
        const char* mode = std::getenv("ZYLAVI_DEBUG_OUTPUT");
        return mode != nullptr && std::strcmp(mode, "stderr") == 0;
    }();
    return enabled;
}

void toSyslog(std::string_view text) {
    thread_local std::string pending;
    for (char c : text) {
        if (c == '\n') {
            syslog(LOG_DEBUG, "%s", pending.c_str());
            pending.clear();
        } else {
            pending.push_back(c);
        }
    }
}

}  // namespace

void debugOutput(std::string_view text) {
    if (DebugOutputSink* replacement = g_replacement.load(std::memory_order_acquire)) {
        replacement->output(text);
        return;
    }
    toSyslog(text);
    if (toStderr()) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
    }
}

void setDebugOutputForTesting(DebugOutputSink* replacement) {
    g_replacement.store(replacement, std::memory_order_release);
}

}  // namespace zyl::platform
