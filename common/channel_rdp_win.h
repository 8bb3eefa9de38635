// Channel I/O over the RDP virtual-channel functions: overlapped ReadFile and
// WriteFile on the channel's file handle, cancelled by the caller's exit event.
#pragma once

#include "channel_io.h"
#include "protocol.h"
#include "handle_win.h"

#include <windows.h>

class CRdpChannelIO : public virtual CChannelIO
{
public:
    CRdpChannelIO() { m_dwChunkLimit = kRdpChunkLimit; }
    ~CRdpChannelIO() override;   // releases the I/O event

    bool ChannelRead(void *buffer, uint32_t capacity, uint32_t *read) override;
    // extra: the exit event (a HANDLE) that aborts a waiting read or write.
    bool OpenChannel(void *server, uint32_t session, const char *name, uintptr_t extra) override;
    int CloseChannel() override;
    bool WriteRaw(const void *buffer, uint32_t length, uint32_t *written) override;

protected:
    HANDLE m_hExitEvent = nullptr;   // not owned
    CHandle m_hIoEvent;              // owned; created at the first read or write
    HANDLE m_hFile = nullptr;        // not owned; the channel's file handle
};
