// The session's channels as the client core sees them: bytes in, whole
// messages out, each with its route (client_ops.h). RDP: one stream per
// channel ("pyxcm" control, "pyxan" player, "pyx00" ... "pyx09" data), the
// route the channel's. ICA: one stream, "ZRBCHNL", each message routed by
// its header (IcaRouteOf). Chunked messages are joined per route, so the
// chunks of two routes may interleave on ICA's one channel.
#pragma once

#include "chunk_join.h"
#include "client_ops.h"
#include "message_stream.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class ChannelLayout { Rdp, Ica };

// Number of routes: control, player, data 0 ... 9.
constexpr size_t kRouteCount = 2 + kDataChannelCount;

class CChannelDemux
{
public:
    // A joined message; chunks is how many it came in (0: sent whole).
    using Sink = std::function<void(int32_t route, const unsigned char *msg, size_t n, uint32_t chunks)>;

    CChannelDemux(ChannelLayout layout, CClientLogOps &log, Sink sink);

    // Bytes of the named channel, in any pieces. A channel not of the
    // layout is logged and ignored.
    void Receive(const std::string &channel, const unsigned char *data, size_t n);
    // A server write begins on the channel (see CMessageStream).
    void MarkBoundary(const std::string &channel);
    // A write may begin here: a dropped stream resumes (CMessageStream::ResumeAt).
    void ResumeAt(const std::string &channel);
    // A new session: every stream and half-joined message is forgotten.
    void Reset();

    // The channel a message of `route` is written to; null for no route.
    static const char *ChannelOf(ChannelLayout layout, int32_t route);
    uint32_t Errors() const;

private:
    CMessageStream *StreamOf(const std::string &channel, int32_t *route);
    void Deliver(int32_t fixedRoute, const unsigned char *msg, size_t n);

    ChannelLayout m_layout;
    CClientLogOps &m_log;
    Sink m_sink;
    std::vector<std::unique_ptr<CMessageStream>> m_streams;   // RDP: one per route; ICA: one
    std::vector<CChunkJoiner> m_joiners;                      // one per route
    std::vector<unsigned char> m_joined;
    uint32_t m_errors = 0;                                     // unroutable messages and chunk errors
};

// Index of a route into per-route tables; kRouteCount for none.
size_t RouteIndex(int32_t route);
