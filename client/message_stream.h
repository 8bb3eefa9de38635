// One channel's byte stream cut back into messages. A remote-desktop stack
// keeps no message boundaries: bytes arrive split anywhere and several
// messages run together. Each message is its 32-byte header and the data
// size the header declares.
//
// A header declaring more than kMaxMessageSize is a lie or garbage, and
// nothing after it can be trusted to start a message: guessing a new start
// by scanning for a plausible header would take file data for headers. So
// the stream is dropped: what it buffered and everything that follows is
// discarded until the platform marks a boundary (MarkBoundary: a server
// write begins there, as FreeRDP's CHANNEL_FLAG_FIRST says) or the channel
// starts afresh (Reset). Without such marks a dropped stream stays dropped
// until the session's next connect.
#pragma once

#include "client_ops.h"
#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CMessageStream
{
public:
    // Gets each whole message: header and declared data, nothing more.
    using Sink = std::function<void(const unsigned char *msg, size_t n)>;

    CMessageStream(std::string name, CClientLogOps &log, size_t maxMessage = kMaxMessageSize);

    void Feed(const unsigned char *data, size_t n, const Sink &sink);
    // A server write begins with the next byte: a message still incomplete
    // was cut short and is dropped; a dropped stream resumes here.
    void MarkBoundary();
    // The same, but only for a dropped stream: for platforms whose marks
    // may fall inside a message (a stack that cuts and merges), where a
    // stream in step must not lose what it holds.
    void ResumeAt() { if (m_bDropped) Reset(); }
    void Reset();

    bool Dropped() const { return m_bDropped; }
    uint32_t Errors() const { return m_errors; }

private:
    // Length of the message at the front of m_buffer, 0 while its header
    // is incomplete; drops the stream on a lying header.
    size_t FrontLength();
    void Drop(const char *why, uint64_t declared);

    std::string m_name;
    CClientLogOps &m_log;
    size_t m_maxMessage;
    std::vector<unsigned char> m_buffer;   // bytes of the incomplete message
    bool m_bDropped = false;
    uint32_t m_errors = 0;
};
