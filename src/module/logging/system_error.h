// qnLogging::system_error: a failed system call, with the system's text for its error code.
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/process.h"

namespace qnLogging {

class system_error : public std::exception {
public:
    explicit system_error(int code = errno)
        : m_code(static_cast<std::uint32_t>(code)), m_text(zyl::platform::systemErrorText(code)) {}
    const char* what() const noexcept override { return m_text.c_str(); }
    std::uint32_t code() const { return m_code; }

private:
    std::uint32_t m_code;
    std::string m_text;
};

}  // namespace qnLogging
