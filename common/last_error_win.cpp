// The platform's last error, which a trace keeps for its caller. A file of
// its own, so that a program with its own trace output (a benchmark, the
// fuzzer) still links.
#include <windows.h>

#include <cstdint>

uint32_t PlatformLastError() { return GetLastError(); }
void PlatformSetLastError(uint32_t error) { SetLastError(error); }
