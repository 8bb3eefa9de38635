#include "client_core.h"

CClientCore::CClientCore(ChannelLayout layout, const DeviceParams &params, CClientChannelOps &channels,
                         CClientClockOps &clock, CClientLogOps &log, CMediaPlayerOps &media)
    : m_device(params, channels, clock, log), m_player(m_device, media, log),
      m_demux(layout, log, [this](int32_t route, const unsigned char *msg, size_t n, uint32_t) { Route(route, msg, n); })
{
}

void CClientCore::Route(int32_t route, const unsigned char *msg, size_t n)
{
    if (route == CHANNEL_PLAYER)
        m_player.OnMessage(msg, n);
    else
        m_device.OnMessage(route, msg, n);
}

void CClientCore::Disconnected()
{
    // The files end first, so that closing the player's sends no CLOS to
    // channels that are gone.
    m_device.Disconnected();
    m_player.OnPlaybackEnded();
    m_demux.Reset();
}
