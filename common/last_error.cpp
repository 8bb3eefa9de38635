// The platform's last error (Windows) or errno (natively), which a trace
// keeps for its caller. A file of its own, so that a program with its own
// trace output (a benchmark, the fuzzer) still links.
#include <cstdint>

#ifdef _WIN32
#include <windows.h>

uint32_t PlatformLastError() { return GetLastError(); }
void PlatformSetLastError(uint32_t error) { SetLastError(error); }
#else
#include <cerrno>

uint32_t PlatformLastError() { return static_cast<uint32_t>(errno); }
void PlatformSetLastError(uint32_t error) { errno = static_cast<int>(error); }
#endif
