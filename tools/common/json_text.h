// JSON string quoting for the tools' --json output. Invalid UTF-8 bytes become U+FFFD so the
// output is always valid JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace zyl::tools {

inline std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x80) {
            // Copy one whole valid UTF-8 sequence, or replace a broken byte.
            std::size_t len = (c & 0xE0) == 0xC0   ? 2
                              : (c & 0xF0) == 0xE0 ? 3
                              : (c & 0xF8) == 0xF0 ? 4
                                                   : 1;
            if (len > 1 && pos + len <= text.size() &&
                platform::utf8ToWide(text.substr(pos, len))) {
                out.append(text.substr(pos, len));
                pos += len;
            } else {
                out += "\\ufffd";
                ++pos;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++pos;
    }
    out.push_back('"');
    return out;
}

}  // namespace zyl::tools
