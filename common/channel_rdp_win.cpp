#include "channel_rdp_win.h"

#include "api_sets_win.h"
#include "trace.h"

namespace {

enum class Direction { Read, Write };

} // namespace

CRdpChannelIO::~CRdpChannelIO() { m_hIoEvent.Reset(); }

bool CRdpChannelIO::OpenChannel(void *server, uint32_t session, const char *name, uintptr_t extra)
{
    m_hExitEvent = reinterpret_cast<HANDLE>(extra);
    if (!m_hExitEvent)
        return false;
    m_hChannel = WtsApi.WTSVirtualChannelOpen(static_cast<HANDLE>(server), session, const_cast<LPSTR>(name));
    if (!m_hChannel)
        return false;
    PVOID buffer = nullptr;
    DWORD length = 0;
    if (!WtsApi.WTSVirtualChannelQuery(m_hChannel, kWtsVirtualFileHandle, &buffer, &length) || !buffer ||
        length < sizeof(HANDLE)) {
        const DWORD error = GetLastError();
        if (buffer)
            WtsApi.WTSFreeMemory(buffer);
        WtsApi.WTSVirtualChannelClose(m_hChannel);
        m_hChannel = nullptr;
        SetLastError(error);
        return false;
    }
    memcpy(&m_hFile, buffer, sizeof(HANDLE));
    WtsApi.WTSFreeMemory(buffer);
    return true;
}

int CRdpChannelIO::CloseChannel()
{
    PYX_TRACE(L"CRdpChannelIO::CloseChannel Close virtual channel.....\r\n");
    int result = 0;
    if (m_hChannel)
        result = WtsApi.WTSVirtualChannelClose(m_hChannel);
    m_hChannel = nullptr;
    m_hFile = nullptr;
    return result;
}

// One overlapped read or write, ended early by the exit event.
static bool OverlappedIo(HANDLE file, CHandle &ioEvent, HANDLE exitEvent, void *buffer,
                         uint32_t length, uint32_t *count, Direction direction)
{
    *count = 0;
    OVERLAPPED ov{};
    if (!ioEvent) {
        ioEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!ioEvent)
            return false;
    }
    // ReadFile and WriteFile reset the event as they start the operation:
    // a reset of our own would cost every read and write a kernel call.
    ov.hEvent = ioEvent.Get();

    const BOOL started = direction == Direction::Read ? ReadFile(file, buffer, length, nullptr, &ov)
                                                      : WriteFile(file, buffer, length, nullptr, &ov);
    bool result = true;
    DWORD status = 0;
    DWORD transferred = 0;
    if (started) {
        status = static_cast<DWORD>(ov.Internal);
        transferred = static_cast<DWORD>(ov.InternalHigh);
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {ioEvent.Get(), exitEvent};
            const DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0) {
                if (r != WAIT_OBJECT_0 + 1 && direction == Direction::Read)
                    PYX_TRACE(L"\r\nProcessFileRpc:WaitForMultipleObjects failed dwEvent = %d\r\n", r);
                // The cancelled operation still writes into ov (and, for a
                // read, into the buffer) when it completes: wait until it
                // really has, however long that takes, so that neither is
                // given up under it.
                CancelIoEx(file, &ov);
                DWORD ignored = 0;
                GetOverlappedResult(file, &ov, &ignored, TRUE);
                SetLastError(ERROR_OPERATION_ABORTED);
                return false;
            }
            status = static_cast<DWORD>(ov.Internal);
            transferred = static_cast<DWORD>(ov.InternalHigh);
        } else {
            result = false;
            status = error;
            transferred = 0;
        }
    }
    // A message longer than the buffer arrives in part (ERROR_MORE_DATA); the
    // caller's size check then judges it by the bytes actually received.
    if (transferred == 0 && status != 0) {
        if (direction == Direction::Read)
            PYX_TRACE(L"\r\nProcessFileRpc: AsyncIO read failed dwError = %d\r\n", status);
        else
            PYX_TRACE(L"\r\nProcessFileRpc: AsyncIO write failed dwError = %d\r\n", status);
        SetLastError(status);
    }
    if (transferred > length)
        transferred = length;
    *count = transferred;
    return result;
}

bool CRdpChannelIO::ChannelRead(void *buffer, uint32_t capacity, uint32_t *read)
{
    return OverlappedIo(m_hFile, m_hIoEvent, m_hExitEvent, buffer, capacity, read, Direction::Read);
}

bool CRdpChannelIO::WriteRaw(const void *buffer, uint32_t length, uint32_t *written)
{
    return OverlappedIo(m_hFile, m_hIoEvent, m_hExitEvent, const_cast<void *>(buffer), length, written,
                        Direction::Write);
}
