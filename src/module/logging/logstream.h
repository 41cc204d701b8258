// basic_logstream: one message per emission, written with operator<< and emitted on flush or
// when the stream dies.
//
// A stream belongs to the thread that made it. Emission reads the logger's masks (atomics, no
// lock) and, for a message that passes, dispatches through the target registry (its lock, then
// each target's). Whether a message passes is decided there, at emission, whatever the masks
// were when its level was set. The first 256 characters live inside the buffer, so a short
// message costs no allocation. Log sites that want a refused message to cost nothing test the
// level first (QN_LOG).
#pragma once

#include <algorithm>
#include <ostream>
#include <streambuf>
#include <string>

#include "module/logging/msgstate.h"
#include "module/logging/target_registry.h"

namespace qnLogging {

template <class Ch>
class basic_logbuf : public std::basic_streambuf<Ch> {
    using traits = typename std::basic_streambuf<Ch>::traits_type;
    using int_type = typename traits::int_type;

public:
    static constexpr std::size_t inline_capacity = 256;

    explicit basic_logbuf(logger_ptr logger) : m_state(std::move(logger)) {
        this->setp(m_inline, m_inline + inline_capacity);
    }
    basic_logbuf(const basic_logbuf&) = delete;
    basic_logbuf& operator=(const basic_logbuf&) = delete;
    ~basic_logbuf() override {
        try {
            sync();
        } catch (...) {
            // Logging never ends an operation that is unwinding.
        }
    }

    basic_msgstate& msgstate() { return m_state; }
    const basic_msgstate& msgstate() const { return m_state; }

    void set_level(std::uint32_t level) { m_state.level = level; }
    void set_group(std::uint64_t group) { m_state.group = group; }

protected:
    int sync() override {
        const Ch* begin = this->pbase();
        const Ch* end = this->pptr();
        try {
            if (begin != end && m_state.logger &&
                m_state.logger->passes(m_state.level, m_state.group)) {
                const basic_timed_msgstate timed(m_state, local_time_now());
                detail::dispatch(timed, begin, end);
            }
        } catch (...) {
            reset();
            throw;
        }
        reset();
        return 0;
    }

    int_type overflow(int_type c) override {
        if (traits::eq_int_type(c, traits::eof())) {
            return traits::not_eof(c);
        }
        grow(1);
        *this->pptr() = traits::to_char_type(c);
        this->pbump(1);
        return c;
    }

    std::streamsize xsputn(const Ch* s, std::streamsize n) override {
        if (n <= 0) {
            return n;
        }
        if (this->epptr() - this->pptr() < n) {
            grow(static_cast<std::size_t>(n));
        }
        std::copy_n(s, n, this->pptr());
        this->pbump(static_cast<int>(n));
        return n;
    }

private:
    void grow(std::size_t extra) {
        const auto used = static_cast<std::size_t>(this->pptr() - this->pbase());
        const auto capacity = static_cast<std::size_t>(this->epptr() - this->pbase());
        if (capacity - used >= extra) {
            return;
        }
        const std::size_t wanted = std::max(capacity * 2, used + extra);
        if (this->pbase() == m_inline) {
            m_heap.assign(m_inline, used);
        }
        m_heap.resize(wanted);
        this->setp(m_heap.data(), m_heap.data() + m_heap.size());
        this->pbump(static_cast<int>(used));
    }

    void reset() {
        this->setp(this->pbase(), this->epptr());
        m_state.level = 0;
        m_state.group = no_group;
        m_state.location.clear();
        m_state.attachments.clear();
    }

    basic_msgstate m_state;
    Ch m_inline[inline_capacity];
    std::basic_string<Ch> m_heap;
};

namespace detail {
// Holds the buffer so it is built before, and destroyed after, the ostream that uses it.
template <class Ch>
struct logbuf_holder {
    explicit logbuf_holder(logger_ptr logger) : m_buf(std::move(logger)) {}
    basic_logbuf<Ch> m_buf;
};
}  // namespace detail

template <class Ch>
class basic_logstream : private detail::logbuf_holder<Ch>, public std::basic_ostream<Ch> {
public:
    explicit basic_logstream(logger_ptr logger)
        : detail::logbuf_holder<Ch>(std::move(logger)), std::basic_ostream<Ch>(&this->m_buf) {}
    basic_logstream(logger_ptr logger, std::uint32_t message_level)
        : basic_logstream(std::move(logger)) {
        level(message_level);
    }
    basic_logstream(const basic_logstream&) = delete;
    basic_logstream& operator=(const basic_logstream&) = delete;

    basic_logbuf<Ch>* logbuf() { return &this->m_buf; }

    // Sets the level of the message being written; the stream starts it in a good state.
    basic_logstream& level(std::uint32_t message_level) {
        this->clear();
        this->m_buf.set_level(message_level);
        return *this;
    }
    basic_logstream& group(std::uint64_t message_group) {
        this->m_buf.set_group(message_group);
        return *this;
    }
};

using logstream = basic_logstream<char>;
using wlogstream = basic_logstream<wchar_t>;

// Stream manipulator: records the source location of the message (on a log stream only).
struct set_location {
    explicit set_location(std::string where) : location(std::move(where)) {}
    std::string location;
};

template <class Ch>
std::basic_ostream<Ch>& operator<<(std::basic_ostream<Ch>& os, const set_location& manip) {
    if (auto* buf = dynamic_cast<basic_logbuf<Ch>*>(os.rdbuf())) {
        buf->msgstate().location = manip.location;
    }
    return os;
}

// Whether a message of this level would pass the logger's masks (with no group set).
inline bool would_log(const logger_ptr& logger, std::uint32_t message_level) {
    return logger && logger->passes(message_level, no_group);
}

// "file(line)", the form a location takes.
inline std::string make_location(const char* file, unsigned line) {
    return std::string(file ? file : "") + "(" + std::to_string(line) + ")";
}

}  // namespace qnLogging

// The module's log sites: a stream is only made for a message that would pass, so a filtered
// message costs one relaxed load.
#define QN_LOG(logger, message_level)                         \
    if (!::qnLogging::would_log((logger), (message_level))) { \
    } else                                                    \
        ::qnLogging::logstream((logger), (message_level))
#define QN_WLOG(logger, message_level)                        \
    if (!::qnLogging::would_log((logger), (message_level))) { \
    } else                                                    \
        ::qnLogging::wlogstream((logger), (message_level))
