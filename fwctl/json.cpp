#include "json.h"

#include <cstdio>

namespace fwctl {
namespace json {

namespace {

// The length of the valid UTF-8 sequence at `s` (at most `left` bytes), or
// 0 when there is none: no overlong forms, surrogates or code points past
// U+10FFFF.
size_t sequence(const unsigned char* s, size_t left)
{
    const unsigned char c = s[0];
    size_t n;
    unsigned low = 0x80, high = 0xbf; // the second byte's range
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        n = 2;
    else if (c >= 0xe0 && c <= 0xef)
        n = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4)
        n = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
    else
        return 0;
    if (left < n || s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    return n;
}

} // namespace

std::string text(const std::string& value)
{
    std::string out = "\"";
    const auto* s = reinterpret_cast<const unsigned char*>(value.data());
    for (size_t i = 0; i < value.size();) {
        const unsigned char c = s[i];
        const size_t n = sequence(s + i, value.size() - i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(value, i, n);
        }
        i += n;
    }
    return out + "\"";
}

std::string number(long long value)
{
    return std::to_string(value);
}

std::string boolean(bool value)
{
    return value ? "true" : "false";
}

std::string array(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? "," : "") + values[i];
    return out + "]";
}

std::string Object::str() const
{
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i)
        out += (i ? "," : "") + text(fields[i].first) + ":" + fields[i].second;
    return out + "}";
}

} // namespace json
} // namespace fwctl
