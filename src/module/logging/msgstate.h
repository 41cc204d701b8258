// The per-message data handed to filters and targets. Plain values, no locks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "module/logging/logger.h"

namespace qnLogging {

// A fixed-size record carried along with a message to the log service.
struct attachment_record {
    std::array<std::uint8_t, 264> bytes{};
};

class basic_msgstate {
public:
    basic_msgstate() = default;
    explicit basic_msgstate(logger_ptr l) : logger(std::move(l)) {}
    basic_msgstate(const basic_msgstate&) = default;
    basic_msgstate& operator=(const basic_msgstate&) = default;
    virtual ~basic_msgstate() = default;

    logger_ptr logger;
    std::uint32_t level = 0;
    std::uint64_t group = no_group;
    std::string location;  // "path/to/source.cpp(123)", empty unless set
    std::vector<attachment_record> attachments;
};

class basic_timed_msgstate : public basic_msgstate {
public:
    basic_timed_msgstate(const basic_msgstate& state, boost::posix_time::ptime t)
        : basic_msgstate(state), time(t) {}

    boost::posix_time::ptime time;
};

// Local time with microseconds; throws std::runtime_error when the calendar time cannot be
// converted to local time.
boost::posix_time::ptime local_time_now();

}  // namespace qnLogging
