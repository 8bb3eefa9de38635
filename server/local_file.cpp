#include "local_file.h"

#include "checksum.h"
#include "local_name.h"
#include "notification.h"
#include "notify.h"
#include "open_errno.h"
#include "trace.h"
#include "utf8.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

size_t NameUnits(const WireChar *name)
{
    size_t n = 0;
    while (name[n])
        ++n;
    return n;
}

#ifdef _WIN32
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
#else
// As on Windows, what is not a file on disk (a FIFO, a device, a socket) is
// refused; without blocking, as opening a FIFO would wait for a writer.
int OpenReadOnly(const WireChar *name, bool *notDisk)
{
    const int fd = open(Utf8Of(name, LoneSurrogate::Keep).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *notDisk = true;
        errno = ENOENT;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
int ReadFd(int fd, void *buffer, unsigned count)
{
    // The result is an int, as on Windows.
    const ssize_t r = read(fd, buffer, count > INT_MAX ? INT_MAX : count);
    return static_cast<int>(r);
}
long SeekFd(int fd, long offset, int origin)
{
    const off_t r = lseek(fd, offset, origin);
    // Positions travel as signed 32 bits; one beyond that is no answer, and
    // an invalid one, as the Windows C library's _lseek tells it.
    if (r > INT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<long>(r);
}
int CloseFd(int fd) { return close(fd); }
#endif

} // namespace

CLocalFileInterface::~CLocalFileInterface()
{
    if (m_dwFileDescriptor >= 0)
        Close();
}

bool CLocalFileInterface::Open(const WireChar *name)
{
    // One name, once: a second open would lose the first descriptor.
    if (m_dwFileDescriptor >= 0 || !name) {
        m_nLastErrno = errno = EINVAL;
        return false;
    }
    // A name that is no plain file is refused as a missing file is, without
    // touching it; so is what opens but is no disk file.
    bool notDisk = false;
    if (!IsPlainFileName(name)) {
        notDisk = true;
        errno = ENOENT;
    } else {
        m_dwFileDescriptor = OpenReadOnly(name, &notDisk);
    }
    // The caller reports errno of a failed open; the trace and the post must
    // not change it.
    const int nOpenErrno = errno;
    if (notDisk)
        PYX_TRACE(L"CLocalFileInterface::Open: refused a name that is not a disk file\r\n");
    PYX_TRACE(L"CFileRpc::FileRpcInit m_dwFileDescriptor = %d\r\n", m_dwFileDescriptor);
    m_wNameCrc = NameChecksum(name, NameUnits(name));
    PostServerNotification(MakeNotifyWParam(NOTIFY_FILE_OPENED, 0, m_wNameCrc),
                           static_cast<int32_t>(static_cast<uint16_t>(m_dwFileDescriptor)));
    errno = nOpenErrno;
    if (m_dwFileDescriptor < 0)
        m_nLastErrno = nOpenErrno;
    return m_dwFileDescriptor >= 0;
}

int CLocalFileInterface::Read(void *buffer, unsigned count)
{
    PostServerNotification(MakeNotifyWParam(NOTIFY_READ, 0, m_wNameCrc), static_cast<int32_t>(count));
    if (m_dwFileDescriptor < 0) {
        m_nLastErrno = errno = EBADF;
        return -1;
    }
    const int n = ReadFd(m_dwFileDescriptor, buffer, count);
    if (n < 0)
        m_nLastErrno = errno;
    return n;
}

long CLocalFileInterface::Seek(long offset, int origin)
{
    PostServerNotification(MakeNotifyWParam(NOTIFY_SEEK, static_cast<uint32_t>(origin), m_wNameCrc),
                           static_cast<int32_t>(offset));
    // An origin the C library doesn't know is refused here: on Windows it
    // would reach the invalid-parameter handler.
    if (m_dwFileDescriptor < 0 || origin < 0 || origin > 2) {
        m_nLastErrno = errno = m_dwFileDescriptor < 0 ? EBADF : EINVAL;
        return -1;
    }
    const long position = SeekFd(m_dwFileDescriptor, offset, origin);
    if (position < 0)
        m_nLastErrno = errno;
    if (origin == 2 && position != -1)
        PostServerNotification(MakeNotifyWParam(NOTIFY_FILE_SIZE, 0, m_wNameCrc),
                               static_cast<int32_t>(position - offset));
    return position;
}

int CLocalFileInterface::Close()
{
    // Closing twice would close whatever descriptor took the number since.
    if (m_dwFileDescriptor < 0)
        return -1;
    PostServerNotification(MakeNotifyWParam(NOTIFY_FILE_CLOSED, 0, m_wNameCrc), m_dwFileDescriptor);
    const int r = CloseFd(m_dwFileDescriptor);
    m_dwFileDescriptor = -1;
    return r == 0 ? 0 : -1;
}
