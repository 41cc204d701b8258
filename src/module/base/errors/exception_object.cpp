#include "module/base/errors/exception_object.h"

#include <cstdarg>
#include <cstdio>

#include "module/base/errors/hresult_exception.h"

namespace {

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

}  // namespace

void CqnCString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    m_text = VFormat(format, args);
    va_end(args);
}

CqnExceptionObject::CqnExceptionObject(std::int32_t code, const char* file, const char* format, ...)
    : m_status(0x80000000u), m_code(code), m_file(file) {
    va_list args;
    va_start(args, format);
    const std::string text = VFormat(format, args);
    va_end(args);
    m_message = CqnCString(text.c_str());
}

void CqnExceptionObject::Set(std::uint32_t status, const char* message, const char* file,
                             std::int32_t code) {
    m_status = status;
    m_message = CqnCString(message);
    m_file = file;
    m_code = code;
}

void CqnExceptionObject::SetParts(std::uint32_t code, std::uint32_t subFacility,
                                  std::uint32_t facility, std::uint32_t category, bool failure,
                                  const char* message, const char* file, std::uint32_t) {
    Set(qnErrors::ComposeStatus(code, subFacility, facility, category, failure), message, file,
        static_cast<std::int32_t>(code));
}
