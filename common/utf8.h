// UTF-8 from the platform's 16-bit text (file names, the emulator's lines)
// or from wide trace text. Portable.
#pragma once

#include <string>

// What becomes of a surrogate without its partner: a name must convert
// without loss, and two names never into one, so it keeps its own
// three-byte form; text only shown to people gets U+FFFD instead.
enum class LoneSurrogate { Keep, Replace };

// `length` units of `text`, or up to its NUL when length is npos. A high
// surrogate followed by a low one is one character; units above 0xFFFF (a
// 32-bit wchar_t) are characters of their own. Characters past U+10FFFF are
// lone surrogates' kin: replaced, or cut to 21 bits when kept.
std::string Utf8Of(const char16_t *text, LoneSurrogate rule, size_t length = std::string::npos);
std::string Utf8Of(const wchar_t *text, LoneSurrogate rule, size_t length = std::string::npos);
inline std::string Utf8Of(const std::u16string &text, LoneSurrogate rule)
{
    return Utf8Of(text.data(), rule, text.size());
}
inline std::string Utf8Of(const std::wstring &text, LoneSurrogate rule)
{
    return Utf8Of(text.data(), rule, text.size());
}
