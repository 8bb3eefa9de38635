// The local file source's platform calls on Windows: CreateFileW with the
// C runtime's sharing, and the runtime's descriptor calls.
#include "local_file_io.h"

#include "open_errno.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>

// The table of open_errno.cpp gives the runtime's own numbers.
namespace e = crt_errno;
static_assert(e::kENOENT == ENOENT && e::kE2BIG == E2BIG && e::kENOEXEC == ENOEXEC && e::kEBADF == EBADF &&
                  e::kECHILD == ECHILD && e::kEAGAIN == EAGAIN && e::kENOMEM == ENOMEM && e::kEACCES == EACCES &&
                  e::kEEXIST == EEXIST && e::kEXDEV == EXDEV && e::kEINVAL == EINVAL && e::kEMFILE == EMFILE &&
                  e::kENOSPC == ENOSPC && e::kEPIPE == EPIPE && e::kENOTEMPTY == ENOTEMPTY,
              "the runtime's errno numbers");

static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows file names are UTF-16");

// Read-only with the C library's sharing (others may read and write), as an
// identification-level client only: whatever serves the name can learn who
// asks, never act as this user. What turns out not to be a disk file (a
// pipe, a device, a console) is closed again and refused.
int OpenReadOnly(const WireChar *name, bool *notDisk)
{
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(name), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = CrtErrnoOfOsError(GetLastError());
        return -1;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        *notDisk = true;
        errno = ENOENT;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        const int saved = errno;
        CloseHandle(file);
        errno = saved;
    }
    return fd;
}
// The C library refuses counts above INT_MAX through its invalid-parameter
// handler, which ends the process.
int ReadFd(int fd, void *buffer, unsigned count) { return _read(fd, buffer, count > INT_MAX ? INT_MAX : count); }
long SeekFd(int fd, long offset, int origin) { return _lseek(fd, offset, origin); }
int CloseFd(int fd) { return _close(fd); }
int DupFd(int fd) { return _dup(fd); }
FILE *FdOpen(int fd) { return _fdopen(fd, "rb"); }
