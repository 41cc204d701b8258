// LogSvcError: every failure of the log service client and of configuring logging from a log
// service carries only its text.
#pragma once

#include <exception>
#include <string>

namespace qnLogging {

class LogSvcError : public std::exception {
public:
    explicit LogSvcError(std::string text) : m_text(std::move(text)) {}
    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};

}  // namespace qnLogging
