#include "local_file.h"
#include "local_file_io.h"

#include "checksum.h"
#include "local_name.h"
#include "notification.h"
#include "notify.h"
#include "trace.h"

#include <cerrno>
#include <climits>
#include <cstdint>

namespace {

size_t NameUnits(const WireChar *name)
{
    size_t n = 0;
    while (name[n])
        ++n;
    return n;
}

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
