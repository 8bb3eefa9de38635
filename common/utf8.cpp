#include "utf8.h"

#include <cstdint>

namespace {

bool IsHigh(uint32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLow(uint32_t c) { return c >= 0xDC00 && c < 0xE000; }

void Append(std::string &out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

template <class Char> std::string Convert(const Char *text, LoneSurrogate rule, size_t length)
{
    const size_t n = length == std::string::npos ? std::char_traits<Char>::length(text) : length;
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (IsHigh(c) && i + 1 < n && IsLow(static_cast<uint32_t>(text[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (rule == LoneSurrogate::Replace && (IsHigh(c) || IsLow(c) || c > 0x10FFFF)) {
            c = 0xFFFD;
        }
        Append(out, c);
    }
    return out;
}

} // namespace

std::string Utf8Of(const char16_t *text, LoneSurrogate rule, size_t length) { return Convert(text, rule, length); }
std::string Utf8Of(const wchar_t *text, LoneSurrogate rule, size_t length) { return Convert(text, rule, length); }
