// Exceptions at the boundary to the host library, the character-conversion failure and the raw
// video container's own exception. Plain values; no locks.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zylBase {

class exception : public std::exception {
public:
    exception(std::string message, std::int32_t status)
        : m_message(std::move(message)), m_status(status) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    std::int32_t status() const { return m_status; }

private:
    std::string m_message;
    std::int32_t m_status;
};

inline constexpr std::int32_t kStatusFailed = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t kStatusBadArgument = static_cast<std::int32_t>(0x80000002u);
inline constexpr std::int32_t kStatusNoMemory = static_cast<std::int32_t>(0x80000005u);

// logic_error carries the same general failure status as runtime_error: the host library
// tells the two apart by type only.
class logic_error : public exception {
public:
    explicit logic_error(std::string message, std::int32_t status = kStatusFailed)
        : exception(std::move(message), status) {}
};

class runtime_error : public exception {
public:
    explicit runtime_error(std::string message = "runtime error")
        : exception(std::move(message), kStatusFailed) {}
};

class bad_alloc : public exception {
public:
    explicit bad_alloc(std::string message = "bad allocation")
        : exception(std::move(message), kStatusNoMemory) {}
};

class invalid_argument : public logic_error {
public:
    explicit invalid_argument(std::string message)
        : logic_error(std::move(message), kStatusBadArgument) {}
};

class argument_null : public invalid_argument {
public:
    argument_null() : invalid_argument("ptr") {}
};

}  // namespace zylBase

namespace base2 {

class character_conversion_error : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

}  // namespace base2

// Thrown and caught only inside the raw video container code.
class ZYLException {
public:
    ZYLException(std::wstring message, std::uint32_t error)
        : m_message(std::move(message)), m_error(error) {}
    const std::wstring& GetMessage() const { return m_message; }
    std::uint32_t GetError() const { return m_error; }

private:
    std::wstring m_message;
    std::uint32_t m_error;
};
