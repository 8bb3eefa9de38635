// printf-style formatting into a std::string, for the emulator's lines.
#pragma once

#include "utf8.h"

#include <string>

namespace loopback {

// At most 2047 characters (room for a name of 260 units and its line).
std::string Format(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

// A name as the emulator prints it: a lone surrogate becomes U+FFFD.
inline std::string Utf8(const std::u16string &s) { return Utf8Of(s, LoneSurrogate::Replace); }

} // namespace loopback
