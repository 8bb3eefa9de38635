#include "channel_ica_win.h"

#include "api_sets_win.h"

#include "write_gate.h"

namespace {

// Never destroyed: a worker may still write while the process exits.
CWriteGate &IcaWriteGate()
{
    static CWriteGate *gate = new CWriteGate;
    return *gate;
}

} // namespace

bool CIcaChannelIO::OpenChannel(void *server, uint32_t session, const char *name, uintptr_t extra)
{
    m_dwReadTimeout = static_cast<DWORD>(extra);
    m_hChannel = WfApi.WFVirtualChannelOpen(static_cast<HANDLE>(server), session, const_cast<LPSTR>(name));
    return m_hChannel != nullptr;
}

int CIcaChannelIO::CloseChannel()
{
    CWriteGate::CHold hold(IcaWriteGate(), CWriteGate::Turn::Urgent);
    int result = 0;
    if (m_hChannel)
        result = WfApi.WFVirtualChannelClose(m_hChannel);
    m_hChannel = nullptr;
    return result;
}

bool CIcaChannelIO::ChannelRead(void *buffer, uint32_t capacity, uint32_t *read)
{
    *read = 0;
    ULONG n = 0;
    const BOOL ok = WfApi.WFVirtualChannelRead(m_hChannel, m_dwReadTimeout, static_cast<PCHAR>(buffer), capacity, &n);
    *read = n > capacity ? capacity : n;
    return ok != FALSE;
}

bool CIcaChannelIO::WriteRaw(const void *buffer, uint32_t length, uint32_t *written)
{
    *written = 0;
    ULONG n = 0;
    const BOOL ok =
        WfApi.WFVirtualChannelWrite(m_hChannel, static_cast<PCHAR>(const_cast<void *>(buffer)), length, &n);
    *written = n > length ? length : n;
    return ok != FALSE;
}

bool CIcaChannelIO::ChannelWrite(void *message, uint32_t length, uint32_t *written)
{
    CWriteGate::CHold hold(IcaWriteGate(), CWriteGate::Turn::Urgent);
    return CChannelIO::ChannelWrite(message, length, written);
}

bool CIcaChannelIO::ChannelWriteUnless(const std::atomic<bool> &refused, void *message, uint32_t length,
                                       uint32_t *written)
{
    CWriteGate::CHold hold(IcaWriteGate(), CWriteGate::Turn::InTurn);
    if (refused.load()) {
        *written = 0;
        return false;
    }
    return CChannelIO::ChannelWrite(message, length, written);
}
