// printf-style formatting into a std::string, for the emulator's lines.
#pragma once

#include <string>

namespace loopback {

// At most 2047 characters (room for a name of 260 units and its line).
std::string Format(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

} // namespace loopback
