// Joins a chunked message by dwChunkIndex and dwLastChunk, as the server's
// chunking writer cuts it (channel_io.cpp): chunk 1 carries the header,
// every chunk its own copy of it with the slice's size. A message not cut
// into chunks passes through. A chunk out of sequence is a chunk error: the
// message it belonged to is dropped. So is one that grows past the limit,
// for the other side decides how many chunks it sends.
#pragma once

#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CChunkJoiner
{
public:
    explicit CChunkJoiner(size_t maxMessage = kMaxMessageSize) : m_maxMessage(maxMessage) {}

    // One received message or chunk of n bytes. Returns true when `out`
    // holds a complete message (its data size the whole payload, its chunk
    // fields zero); *chunks is how many chunks it came in, 0 for one sent
    // whole.
    bool Add(const unsigned char *data, size_t n, std::vector<unsigned char> *out, uint32_t *chunks);
    uint32_t Errors() const { return m_errors; }
    // Forgets a message half joined (its channel's stream was cut).
    void Reset();

private:
    size_t m_maxMessage;
    std::vector<unsigned char> m_partial;
    uint32_t m_next = 0;   // next expected chunk index, 0 when none is open
    uint32_t m_errors = 0;
};
