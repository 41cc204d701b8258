// basic_trace_target: messages on the debug output. No lock: the text and its line end are two
// separate outputs, so two threads' messages may interleave between them.
#pragma once

#include "module/logging/target.h"
#include "module/logging/text_convert.h"
#include "platform/debug_output.h"

namespace qnLogging {

class basic_trace_target : public basic_logtarget {
public:
    void write(const basic_timed_msgstate& state, const wchar_t* begin,
               const wchar_t* end) override {
        const std::string text = detail::to_utf8(begin, end);
        write(state, text.data(), text.data() + text.size());
    }

    void write(const basic_timed_msgstate&, const char* begin, const char* end) override {
        // The debug output takes NUL-terminated text, so an embedded NUL ends the message.
        const std::string text(begin, end);
        zyl::platform::debugOutput(text.c_str());
        zyl::platform::debugOutput("\n");
    }
};

}  // namespace qnLogging
