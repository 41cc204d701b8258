// Formatters: targets that put a one-line header before the message text, join the message's
// lines with single spaces and forward the result to another target.
//
// A formatter builds its text on the caller's thread without a lock and then calls the
// forwarded target (which takes its own lock). Group names come from the group table (its
// shared lock).
#pragma once

#include <memory>
#include <ostream>

#include "module/logging/target.h"

namespace qnLogging {
namespace detail {

class basic_textformatter : public basic_logtarget {
public:
    explicit basic_textformatter(std::shared_ptr<basic_logtarget> target)
        : m_target(std::move(target)) {}

    void write(const basic_timed_msgstate& state, const wchar_t* begin,
               const wchar_t* end) override;
    void write(const basic_timed_msgstate& state, const char* begin, const char* end) override;

    const std::shared_ptr<basic_logtarget>& target() const { return m_target; }

protected:
    virtual void write_header(std::wostream& os, const basic_timed_msgstate& state) = 0;
    virtual void write_header(std::ostream& os, const basic_timed_msgstate& state) = 0;

    // Logger name, group and level: the part both headers share.
    template <class Ch>
    static void write_tail(std::basic_ostream<Ch>& os, const basic_timed_msgstate& state);

private:
    template <class Ch>
    void format(const basic_timed_msgstate& state, const Ch* begin, const Ch* end);

    std::shared_ptr<basic_logtarget> m_target;
};

}  // namespace detail

// Header: time elapsed since the formatter was made, e.g. "00:00:05.250000 [info]".
class basic_timespanformatter : public detail::basic_textformatter {
public:
    explicit basic_timespanformatter(std::shared_ptr<basic_logtarget> target);
    basic_timespanformatter(std::shared_ptr<basic_logtarget> target, boost::posix_time::ptime start)
        : basic_textformatter(std::move(target)), m_start(start) {}

    boost::posix_time::ptime start() const { return m_start; }

protected:
    void write_header(std::wostream& os, const basic_timed_msgstate& state) override;
    void write_header(std::ostream& os, const basic_timed_msgstate& state) override;

private:
    boost::posix_time::ptime m_start;
};

// Header: the local date and time, e.g. "2024-Mar-05 14:03:07.120000 Reel2 [err]".
class basic_dateformatter : public detail::basic_textformatter {
public:
    using basic_textformatter::basic_textformatter;

protected:
    void write_header(std::wostream& os, const basic_timed_msgstate& state) override;
    void write_header(std::ostream& os, const basic_timed_msgstate& state) override;
};

}  // namespace qnLogging
