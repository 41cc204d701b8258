#include "platform/text.h"

#include <cstdint>

namespace zyl::platform {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool isSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Decodes one code point at text[pos]; advances pos. Rejects overlong forms and surrogates.
bool decodeUtf8(std::string_view text, std::size_t& pos, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        out = b0;
        ++pos;
        return true;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (text.size() - pos < len) {
        return false;
    }
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if ((b & 0xC0) != 0x80) {
            return false;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > kMaxCodePoint || isSurrogate(cp)) {
        return false;
    }
    out = cp;
    pos += len;
    return true;
}

template <class Str>
bool encodeUtf8(char32_t cp, Str& out) {
    if (cp > kMaxCodePoint || isSurrogate(cp)) {
        return false;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return true;
}

bool encodeUtf16(char32_t cp, std::u16string& out) {
    if (cp > kMaxCodePoint || isSurrogate(cp)) {
        return false;
    }
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
    return true;
}

bool decodeUtf16(std::u16string_view text, std::size_t& pos, char32_t& out) {
    const char16_t u = text[pos];
    if (u < 0xD800 || u > 0xDFFF) {
        out = u;
        ++pos;
        return true;
    }
    if (u > 0xDBFF || pos + 1 >= text.size()) {
        return false;
    }
    const char16_t low = text[pos + 1];
    if (low < 0xDC00 || low > 0xDFFF) {
        return false;
    }
    out = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00);
    pos += 2;
    return true;
}

}  // namespace

std::optional<std::wstring> utf8ToWide(std::string_view text) {
    static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        if (!decodeUtf8(text, pos, cp)) {
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(cp));
    }
    return out;
}

std::optional<std::string> wideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (!encodeUtf8(static_cast<char32_t>(c), out)) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        if (!decodeUtf8(text, pos, cp) || !encodeUtf16(cp, out)) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        if (!decodeUtf16(text, pos, cp) || !encodeUtf8(cp, out)) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::u16string> wideToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (!encodeUtf16(static_cast<char32_t>(c), out)) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::wstring> utf16ToWide(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        if (!decodeUtf16(text, pos, cp)) {
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(cp));
    }
    return out;
}

std::string utf16ToLeBytes(std::u16string_view text) {
    std::string out;
    out.resize(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[2 * i] = static_cast<char>(text[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return out;
}

std::optional<std::u16string> leBytesToUtf16(std::string_view bytes) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string out(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return out;
}

}  // namespace zyl::platform
