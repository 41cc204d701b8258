#include "module/logging/formatters.h"

#include <algorithm>
#include <sstream>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "module/logging/levels.h"

namespace qnLogging {
namespace detail {

template <class Ch>
void basic_textformatter::write_tail(std::basic_ostream<Ch>& os,
                                     const basic_timed_msgstate& state) {
    auto put_narrow = [&os](const std::string& text) {
        for (char c : text) {
            os.put(os.widen(c));
        }
    };
    const std::string logger_name = state.logger ? state.logger->name() : std::string();
    if (!logger_name.empty()) {
        put_narrow(logger_name);
        os.put(os.widen(' '));
    }
    os.put(os.widen('['));
    if (state.group != no_group) {
        const std::string name = group_name(state.group);
        if (!name.empty()) {
            put_narrow(name);
            os.put(os.widen('|'));
        }
    }
    os << level_name_t<Ch>(state.level);
    os.put(os.widen(']'));
}

template <class Ch>
void basic_textformatter::format(const basic_timed_msgstate& state, const Ch* begin,
                                 const Ch* end) {
    std::basic_ostringstream<Ch> out;
    write_header(out, state);
    // Each line (split at '\n', no trailing empty part) becomes a space and the line.
    const Ch* line = begin;
    while (line < end) {
        const Ch* stop = std::find(line, end, static_cast<Ch>('\n'));
        out.put(static_cast<Ch>(' '));
        out.write(line, stop - line);
        line = stop == end ? end : stop + 1;
    }
    const std::basic_string<Ch> text = std::move(out).str();
    m_target->write(state, text.data(), text.data() + text.size());
}

void basic_textformatter::write(const basic_timed_msgstate& state, const wchar_t* begin,
                                const wchar_t* end) {
    format(state, begin, end);
}

void basic_textformatter::write(const basic_timed_msgstate& state, const char* begin,
                                const char* end) {
    format(state, begin, end);
}

}  // namespace detail

basic_timespanformatter::basic_timespanformatter(std::shared_ptr<basic_logtarget> target)
    : basic_textformatter(std::move(target)), m_start(local_time_now()) {}

void basic_timespanformatter::write_header(std::wostream& os, const basic_timed_msgstate& state) {
    os << boost::posix_time::to_simple_wstring(state.time - m_start) << L' ';
    write_tail(os, state);
}

void basic_timespanformatter::write_header(std::ostream& os, const basic_timed_msgstate& state) {
    os << boost::posix_time::to_simple_string(state.time - m_start) << ' ';
    write_tail(os, state);
}

void basic_dateformatter::write_header(std::wostream& os, const basic_timed_msgstate& state) {
    os << boost::posix_time::to_simple_wstring(state.time) << L' ';
    write_tail(os, state);
}

void basic_dateformatter::write_header(std::ostream& os, const basic_timed_msgstate& state) {
    os << boost::posix_time::to_simple_string(state.time) << ' ';
    write_tail(os, state);
}

}  // namespace qnLogging
