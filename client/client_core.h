// The client side of a session, whole and portable: the channels' bytes in
// (CChannelDemux), the device's file sessions (CClientDevice) and the
// player (CClientPlayerCore) over them. A platform shell feeds it what its
// channels receive, calls Tick every few hundred ms, and supplies the
// operation sets; everything runs on the thread that feeds it.
#pragma once

#include "channel_demux.h"
#include "client_ops.h"
#include "device_core.h"
#include "player_core.h"

#include <string>

class CClientCore
{
public:
    CClientCore(ChannelLayout layout, const DeviceParams &params, CClientChannelOps &channels, CClientClockOps &clock,
                CClientLogOps &log, CMediaPlayerOps &media);

    void Receive(const std::string &channel, const unsigned char *data, size_t n) { m_demux.Receive(channel, data, n); }
    void MarkBoundary(const std::string &channel) { m_demux.MarkBoundary(channel); }
    void ResumeAt(const std::string &channel) { m_demux.ResumeAt(channel); }
    void Tick() { m_device.Tick(); }
    // The session's channels closed; a reconnect starts afresh.
    void Disconnected();

    CClientDevice &Device() { return m_device; }
    CClientPlayerCore &Player() { return m_player; }
    const CChannelDemux &Demux() const { return m_demux; }

private:
    void Route(int32_t route, const unsigned char *msg, size_t n);

    CClientDevice m_device;
    CClientPlayerCore m_player;
    CChannelDemux m_demux;
};
