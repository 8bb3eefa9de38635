// errno as the platform's last error, which a trace keeps for its caller.
// A file of its own, so that a program with its own trace output (a
// benchmark, the fuzzer) still links.
#include <cerrno>
#include <cstdint>

uint32_t PlatformLastError() { return static_cast<uint32_t>(errno); }
void PlatformSetLastError(uint32_t error) { errno = static_cast<int>(error); }
