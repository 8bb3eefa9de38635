#include "chunk_join.h"

void CChunkJoiner::Reset()
{
    m_partial.clear();
    m_next = 0;
}

bool CChunkJoiner::Add(const unsigned char *data, size_t n, std::vector<unsigned char> *out, uint32_t *chunks)
{
    *chunks = 0;
    if (n < kHeaderSize || n > m_maxMessage) {
        ++m_errors;
        return false;
    }
    const MessageHeader h = LoadHeader(data);
    if (h.dwChunkIndex == 0) {
        if (m_next != 0) {   // a whole message in the middle of a chunked one
            ++m_errors;
            Reset();
        }
        out->assign(data, data + n);
        return true;
    }
    const size_t slice = n - kHeaderSize;
    if (h.dwChunkIndex == 1) {
        if (m_next != 0)
            ++m_errors;
        m_partial.assign(data, data + n);
        m_next = 2;
    } else if (h.dwChunkIndex == m_next && m_partial.size() + slice <= m_maxMessage) {
        m_partial.insert(m_partial.end(), data + kHeaderSize, data + n);
        ++m_next;
    } else {
        ++m_errors;
        Reset();
        return false;
    }
    if (h.dwMessageDataSize != slice)
        ++m_errors;
    if (!h.dwLastChunk)
        return false;
    *chunks = m_next - 1;
    StoreLE32(m_partial.data() + hdr::kDataSize, static_cast<uint32_t>(m_partial.size() - kHeaderSize));
    StoreLE32(m_partial.data() + hdr::kChunkIndex, 0);
    StoreLE32(m_partial.data() + hdr::kLastChunk, 0);
    out->swap(m_partial);
    Reset();
    return true;
}
