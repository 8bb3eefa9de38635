// One named virtual channel of the session. CChannelIO holds what both
// protocols share, the chunking writer; CRdpChannelIO and CIcaChannelIO
// (channel_rdp_win.h, channel_ica_win.h) implement open, read, write and close.
// Always inherited virtually, so that a file object reaching it by two paths
// holds it once.
#pragma once

#include <cstdint>

class CChannelIO
{
public:
    virtual ~CChannelIO() = default;

    // Virtual operations, in slot order.
    virtual void SetChunking(uint32_t flag) { m_nChunking = flag; }
    virtual bool ChannelRead(void *buffer, uint32_t capacity, uint32_t *read) = 0;
    // server: the platform's server handle (0 = current); session: -1 = current.
    // extra: RDP the exit event handle, ICA the read time-out in ms.
    virtual bool OpenChannel(void *server, uint32_t session, const char *name, uintptr_t extra) = 0;
    virtual int CloseChannel() = 0;
    virtual bool WriteRaw(const void *buffer, uint32_t length, uint32_t *written) = 0;
    // Writes a whole message, cut into chunks when it is as long as the chunk
    // limit or longer. Chunk headers are written into the caller's buffer, so
    // its content is not to be used after the write.
    virtual bool ChannelWrite(void *message, uint32_t length, uint32_t *written);
    virtual bool WriteMessage(void *message, uint32_t length, uint32_t *written)
    {
        return ChannelWrite(message, length, written);
    }

    uint32_t ChunkLimit() const { return m_dwChunkLimit; }
    uint32_t Chunking() const { return m_nChunking; }
    void *ChannelHandle() const { return m_hChannel; }

protected:
    // A virtual base is built by the most derived class, so the chunk limit
    // is set in the body of each channel class's constructor.
    CChannelIO() = default;

    uint32_t m_nChunking = 1;
    void *m_hChannel = nullptr;
    uint32_t m_dwChunkLimit = 0;
};
