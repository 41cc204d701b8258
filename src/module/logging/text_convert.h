// Wide message text to UTF-8 for the targets that write bytes; throws
// base2::character_conversion_error for text that is not valid Unicode.
#pragma once

#include <string>

#include "module/base/errors/host_exceptions.h"
#include "platform/text.h"

namespace qnLogging::detail {

inline std::string to_utf8(const wchar_t* begin, const wchar_t* end) {
    auto text =
        zyl::platform::wideToUtf8(std::wstring_view(begin, static_cast<std::size_t>(end - begin)));
    if (!text) {
        throw base2::character_conversion_error();
    }
    return std::move(*text);
}

}  // namespace qnLogging::detail
