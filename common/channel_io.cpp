#include "channel_io.h"

#include "protocol.h"

#include <cstring>

bool CChannelIO::ChannelWrite(void *message, uint32_t length, uint32_t *written)
{
    *written = 0;
    if (length < m_dwChunkLimit || m_nChunking == 0)
        return WriteRaw(message, length, written);

    unsigned char saved[kHeaderSize];
    std::memcpy(saved, message, kHeaderSize);
    *written = kHeaderSize;

    unsigned char *p = static_cast<unsigned char *>(message);
    uint32_t remaining = length;
    uint32_t chunk = 1;
    bool result = true;
    while (remaining != 0 && result) {
        // For later chunks this overwrites the last 32 bytes of the previous
        // slice, which are already sent.
        std::memcpy(p, saved, kHeaderSize);
        const uint32_t n = remaining < m_dwChunkLimit ? remaining : m_dwChunkLimit;
        const bool last = remaining <= m_dwChunkLimit;
        StoreLE32(p + hdr::kDataSize, n - kHeaderSize);
        StoreLE32(p + hdr::kChunkIndex, chunk++);
        if (last)
            StoreLE32(p + hdr::kLastChunk, 1);

        uint32_t w = 0;
        result = WriteRaw(p, n, &w);
        if (w > n)
            w = n; // a platform never reports more than asked; don't trust it to
        if (w >= kHeaderSize)
            *written += w - kHeaderSize;
        if (w < n || last)
            break;
        p += w - kHeaderSize;
        remaining -= w - kHeaderSize;
    }
    return result;
}
