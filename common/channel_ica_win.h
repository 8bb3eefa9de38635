// Channel I/O over the ICA virtual-channel functions: timed read, plain write.
#pragma once

#include <atomic>

#include "channel_io.h"
#include "protocol.h"

#include <windows.h>

class CIcaChannelIO : public virtual CChannelIO
{
public:
    CIcaChannelIO() { m_dwChunkLimit = kIcaChunkLimit; }

    bool ChannelRead(void *buffer, uint32_t capacity, uint32_t *read) override;
    // extra: the read time-out in milliseconds.
    bool OpenChannel(void *server, uint32_t session, const char *name, uintptr_t extra) override;
    int CloseChannel() override;
    bool WriteRaw(const void *buffer, uint32_t length, uint32_t *written) override;
    // One whole message at a time: every ICA channel object of the process
    // writes on the session's one channel, so the chunks of two messages
    // (a worker's reply, the control thread's) never interleave. A message
    // written here goes next, ahead of files' replies that wait (see
    // write_gate.h).
    bool ChannelWrite(void *message, uint32_t length, uint32_t *written) override;
    // A file's reply: one whole message in its turn among the others, unless
    // `refused` holds when the turn comes (then false, nothing written). A
    // close waits for a write in progress, so a writer that sees `refused`
    // still clear writes on a channel that is open.
    bool ChannelWriteUnless(const std::atomic<bool> &refused, void *message, uint32_t length, uint32_t *written);

protected:
    DWORD m_dwReadTimeout = 500;
};
