// basic_stdout_target<std_out | std_err>: messages on standard output or standard error.
//
// Each tag has one process-wide mutex shared by all its targets; a write takes it alone.
// Wide text is written as UTF-8 through the narrow stream, because a C stream that has seen
// narrow output cannot take wide output on this platform.
#pragma once

#include <iostream>
#include <mutex>

#include "module/logging/target.h"
#include "module/logging/text_convert.h"

namespace qnLogging {

struct std_out {
    static std::ostream& stream() { return std::cout; }
};
struct std_err {
    static std::ostream& stream() { return std::cerr; }
};

template <class Tag, class Mutex = std::mutex>
class basic_stdout_target : public basic_logtarget {
public:
    void write(const basic_timed_msgstate& state, const wchar_t* begin,
               const wchar_t* end) override {
        const std::string text = detail::to_utf8(begin, end);
        write(state, text.data(), text.data() + text.size());
    }

    void write(const basic_timed_msgstate&, const char* begin, const char* end) override {
        std::lock_guard lock(tag_mutex());
        Tag::stream().write(begin, end - begin);
        Tag::stream() << std::endl;
    }

private:
    static Mutex& tag_mutex() {
        static Mutex mutex;
        return mutex;
    }
};

using stdout_target = basic_stdout_target<std_out>;
using stderr_target = basic_stdout_target<std_err>;

}  // namespace qnLogging
