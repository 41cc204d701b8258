// Text conversions between UTF-8 (narrow), wchar_t (UTF-32 on Linux) and UTF-16LE.
//
// Owns nothing; pure functions, callable from any thread, no locks.
// Every conversion is strict: malformed input (bad UTF-8, lone surrogates, code points beyond
// U+10FFFF) makes it fail instead of substituting, so callers can report the failure the way the
// Windows conversions with MB_ERR_INVALID_CHARS would.
//
// Style of the platform layer: namespace zyl::platform, types in PascalCase, functions and
// methods in camelCase, members with a trailing underscore.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zyl::platform {

// The code page the narrow API stands for (GetACP on Windows); always UTF-8 here.
inline constexpr unsigned kAnsiCodePage = 65001;

std::optional<std::wstring> utf8ToWide(std::string_view text);
std::optional<std::string> wideToUtf8(std::wstring_view text);
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
std::optional<std::string> utf16ToUtf8(std::u16string_view text);
std::optional<std::u16string> wideToUtf16(std::wstring_view text);
std::optional<std::wstring> utf16ToWide(std::u16string_view text);

// UTF-16 code units as little-endian bytes, the way wire formats carry them.
std::string utf16ToLeBytes(std::u16string_view text);
// Fails on an odd byte count.
std::optional<std::u16string> leBytesToUtf16(std::string_view bytes);

}  // namespace zyl::platform
