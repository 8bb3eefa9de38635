// The errno of a failed open, as the C runtime's _wopen has always told it.
// Local files open through CreateFileW now, but the OPEN reply still carries
// the numbers clients knew from the runtime's open: this is the runtime's
// own mapping of the platform's (DOS) error numbers. Portable, so that it
// is checked natively too; the values are the Microsoft C runtime's (on
// Windows the same as <errno.h>'s), whatever the host's errno numbering.
#pragma once

#include <cstdint>

namespace crt_errno {
constexpr int kENOENT = 2;
constexpr int kE2BIG = 7;
constexpr int kENOEXEC = 8;
constexpr int kEBADF = 9;
constexpr int kECHILD = 10;
constexpr int kEAGAIN = 11;
constexpr int kENOMEM = 12;
constexpr int kEACCES = 13;
constexpr int kEEXIST = 17;
constexpr int kEXDEV = 18;
constexpr int kEINVAL = 22;
constexpr int kEMFILE = 24;
constexpr int kENOSPC = 28;
constexpr int kEPIPE = 32;
constexpr int kENOTEMPTY = 41;
} // namespace crt_errno

// The runtime's errno for the platform's error number `error` (what
// GetLastError gave); EINVAL for any it does not name.
int CrtErrnoOfOsError(uint32_t error);
