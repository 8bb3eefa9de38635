#include "open_errno.h"

namespace {

using namespace crt_errno;

struct Entry
{
    uint16_t error;
    uint8_t crtErrno;
};

// The platform's numbers (winerror.h), by name in the comments.
constexpr Entry kTable[] = {
    {2, kENOENT},      // FILE_NOT_FOUND
    {3, kENOENT},      // PATH_NOT_FOUND
    {4, kEMFILE},      // TOO_MANY_OPEN_FILES
    {5, kEACCES},      // ACCESS_DENIED
    {6, kEBADF},       // INVALID_HANDLE
    {7, kENOMEM},      // ARENA_TRASHED
    {8, kENOMEM},      // NOT_ENOUGH_MEMORY
    {9, kENOMEM},      // INVALID_BLOCK
    {10, kE2BIG},      // BAD_ENVIRONMENT
    {11, kENOEXEC},    // BAD_FORMAT
    {15, kENOENT},     // INVALID_DRIVE
    {16, kEACCES},     // CURRENT_DIRECTORY
    {17, kEXDEV},      // NOT_SAME_DEVICE
    {18, kENOENT},     // NO_MORE_FILES
    {53, kENOENT},     // BAD_NETPATH
    {65, kEACCES},     // NETWORK_ACCESS_DENIED
    {67, kENOENT},     // BAD_NET_NAME
    {80, kEEXIST},     // FILE_EXISTS
    {82, kEACCES},     // CANNOT_MAKE
    {83, kEACCES},     // FAIL_I24
    {89, kEAGAIN},     // NO_PROC_SLOTS
    {108, kEACCES},    // DRIVE_LOCKED
    {109, kEPIPE},     // BROKEN_PIPE
    {112, kENOSPC},    // DISK_FULL
    {114, kEBADF},     // INVALID_TARGET_HANDLE
    {128, kECHILD},    // WAIT_NO_CHILDREN
    {129, kECHILD},    // CHILD_NOT_COMPLETE
    {130, kEBADF},     // DIRECT_ACCESS_HANDLE
    {132, kEACCES},    // SEEK_ON_DEVICE
    {145, kENOTEMPTY}, // DIR_NOT_EMPTY
    {158, kEACCES},    // NOT_LOCKED
    {161, kENOENT},    // BAD_PATHNAME
    {164, kEAGAIN},    // MAX_THRDS_REACHED
    {167, kEACCES},    // LOCK_FAILED
    {183, kEEXIST},    // ALREADY_EXISTS
    {206, kENOENT},    // FILENAME_EXCED_RANGE
    {215, kEAGAIN},    // NESTING_NOT_ALLOWED
    {1816, kENOMEM},   // NOT_ENOUGH_QUOTA
};

// WRITE_PROTECT ... SHARING_BUFFER_EXCEEDED: the disk's and the sharing's
// refusals (SHARING_VIOLATION, 32, among them).
constexpr uint32_t kFirstAccessError = 19, kLastAccessError = 36;
// INVALID_STARTING_CODESEG ... INFLOOP_IN_RELOC_CHAIN: a program image's faults.
constexpr uint32_t kFirstExecError = 188, kLastExecError = 202;

} // namespace

int CrtErrnoOfOsError(uint32_t error)
{
    for (const Entry &e : kTable) {
        if (e.error == error)
            return e.crtErrno;
    }
    if (error >= kFirstAccessError && error <= kLastAccessError)
        return kEACCES;
    if (error >= kFirstExecError && error <= kLastExecError)
        return kENOEXEC;
    return kEINVAL;
}
