#include "channel_demux.h"

#include "player_check.h"

namespace {

constexpr const char *kRdpChannels[kRouteCount] = {kRdpControlChannelName, kRdpPlayerChannelName, "pyx00", "pyx01",
                                                   "pyx02", "pyx03", "pyx04", "pyx05", "pyx06", "pyx07", "pyx08", "pyx09"};

int32_t RouteAt(size_t index)
{
    return index == 0 ? CHANNEL_CONTROL : index == 1 ? CHANNEL_PLAYER : static_cast<int32_t>(index - 2);
}

} // namespace

size_t RouteIndex(int32_t route)
{
    if (route == CHANNEL_CONTROL)
        return 0;
    if (route == CHANNEL_PLAYER)
        return 1;
    return IsDataChannel(route) ? static_cast<size_t>(route) + 2 : kRouteCount;
}

const char *CChannelDemux::ChannelOf(ChannelLayout layout, int32_t route)
{
    const size_t index = RouteIndex(route);
    if (index == kRouteCount)
        return nullptr;
    return layout == ChannelLayout::Ica ? kIcaChannelName : kRdpChannels[index];
}

CChannelDemux::CChannelDemux(ChannelLayout layout, CClientLogOps &log, Sink sink)
    : m_layout(layout), m_log(log), m_sink(std::move(sink)), m_joiners(kRouteCount)
{
    if (layout == ChannelLayout::Ica) {
        m_streams.push_back(std::make_unique<CMessageStream>(kIcaChannelName, log));
    } else {
        for (const char *name : kRdpChannels)
            m_streams.push_back(std::make_unique<CMessageStream>(name, log));
    }
}

CMessageStream *CChannelDemux::StreamOf(const std::string &channel, int32_t *route)
{
    if (m_layout == ChannelLayout::Ica) {
        *route = kNoRoute;
        return channel == kIcaChannelName ? m_streams[0].get() : nullptr;
    }
    for (size_t i = 0; i < kRouteCount; ++i) {
        if (channel == kRdpChannels[i]) {
            *route = RouteAt(i);
            return m_streams[i].get();
        }
    }
    return nullptr;
}

void CChannelDemux::Receive(const std::string &channel, const unsigned char *data, size_t n)
{
    int32_t route = kNoRoute;
    CMessageStream *stream = StreamOf(channel, &route);
    if (!stream) {
        ++m_errors;
        LogLine(m_log, "client: %zu bytes on channel %.16s, which is not the session's", n, channel.c_str());
        return;
    }
    stream->Feed(data, n, [&](const unsigned char *msg, size_t length) { Deliver(route, msg, length); });
}

void CChannelDemux::MarkBoundary(const std::string &channel)
{
    int32_t route = kNoRoute;
    if (CMessageStream *stream = StreamOf(channel, &route))
        stream->MarkBoundary();
}

void CChannelDemux::ResumeAt(const std::string &channel)
{
    int32_t route = kNoRoute;
    if (CMessageStream *stream = StreamOf(channel, &route))
        stream->ResumeAt();
}

void CChannelDemux::Reset()
{
    for (auto &stream : m_streams)
        stream->Reset();
    for (CChunkJoiner &joiner : m_joiners)
        joiner.Reset();
}

uint32_t CChannelDemux::Errors() const
{
    uint32_t errors = m_errors;
    for (const auto &stream : m_streams)
        errors += stream->Errors();
    for (const CChunkJoiner &joiner : m_joiners)
        errors += joiner.Errors();
    return errors;
}

// RDP: the channel's route. ICA: the header's; on RDP a header naming
// another route is left to the receiver's checks.
void CChannelDemux::Deliver(int32_t fixedRoute, const unsigned char *msg, size_t n)
{
    const int32_t route = fixedRoute != kNoRoute ? fixedRoute : IcaRouteOf(msg, n);
    const size_t index = RouteIndex(route);
    if (index == kRouteCount) {
        ++m_errors;
        LogLine(m_log, "client: message of %zu bytes for channel number %d, dropped", n,
                n >= kHeaderSize ? MessageChannel(msg) : 0);
        return;
    }
    CChunkJoiner &joiner = m_joiners[index];
    const uint32_t errorsBefore = joiner.Errors();
    uint32_t chunks = 0;
    const bool whole = joiner.Add(msg, n, &m_joined, &chunks);
    if (joiner.Errors() != errorsBefore)
        LogLine(m_log, "client: chunk %u out of sequence or too long on route %d, its message dropped",
                n >= kHeaderSize ? LoadLE32(msg + hdr::kChunkIndex) : 0, route);
    if (whole)
        m_sink(route, m_joined.data(), m_joined.size(), chunks);
}
