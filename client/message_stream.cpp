#include "message_stream.h"

CMessageStream::CMessageStream(std::string name, CClientLogOps &log, size_t maxMessage)
    : m_name(std::move(name)), m_log(log), m_maxMessage(maxMessage)
{
}

void CMessageStream::Reset()
{
    m_buffer.clear();
    m_bDropped = false;
}

void CMessageStream::MarkBoundary()
{
    if (!m_bDropped && !m_buffer.empty()) {
        ++m_errors;
        LogLine(m_log, "client: %s: message cut short after %zu bytes, dropped", m_name.c_str(), m_buffer.size());
    }
    Reset();
}

void CMessageStream::Drop(const char *why, uint64_t declared)
{
    ++m_errors;
    m_bDropped = true;
    m_buffer.clear();
    LogLine(m_log, "client: %s: %s (%llu bytes), stream dropped until the next boundary", m_name.c_str(), why,
            static_cast<unsigned long long>(declared));
}

size_t CMessageStream::FrontLength()
{
    if (m_buffer.size() < kHeaderSize)
        return 0;
    const uint64_t length = uint64_t(kHeaderSize) + MessageDataSize(m_buffer.data());
    if (length > m_maxMessage) {
        Drop("header declares a message longer than the protocol's longest", length);
        return 0;
    }
    return static_cast<size_t>(length);
}

void CMessageStream::Feed(const unsigned char *data, size_t n, const Sink &sink)
{
    size_t at = 0;
    while (at < n && !m_bDropped) {
        // Whole messages straight from the piece when nothing is buffered,
        // so a large reply is not copied twice.
        if (m_buffer.empty() && n - at >= kHeaderSize) {
            const uint64_t length = uint64_t(kHeaderSize) + MessageDataSize(data + at);
            if (length > m_maxMessage) {
                Drop("header declares a message longer than the protocol's longest", length);
                return;
            }
            if (n - at >= length) {
                sink(data + at, static_cast<size_t>(length));
                at += static_cast<size_t>(length);
                continue;
            }
        }
        // Otherwise collect: first the header, then the rest it declares.
        size_t want = m_buffer.size() < kHeaderSize ? kHeaderSize : FrontLength();
        if (m_bDropped)
            return;
        const size_t take = want - m_buffer.size() < n - at ? want - m_buffer.size() : n - at;
        m_buffer.insert(m_buffer.end(), data + at, data + at + take);
        at += take;
        want = FrontLength();
        if (m_bDropped)
            return;
        if (want != 0 && m_buffer.size() == want) {
            std::vector<unsigned char> whole;
            whole.swap(m_buffer);
            sink(whole.data(), whole.size());
        }
    }
}
