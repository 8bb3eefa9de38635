#include "ica_routing_win.h"

#include "file_object.h"
#include "ica_share_win.h"
#include "trace.h"

HANDLE g_ChannelEvents[kDataChannelCount] = {};

CIcaRoutingOps::Worker CWinIcaRouting::WorkerOf(int channel) { return WorkerOfSlot(channel); }

bool CWinIcaRouting::PrepareWake(int channel)
{
    if (!g_ChannelEvents[channel]) {
        wchar_t name[8];
        IcaChannelEventName(channel, name);
        g_ChannelEvents[channel] = CreateEventW(nullptr, FALSE, FALSE, name);
        PYX_TRACE(L"pass_the_message: CreateEvent %s\r\n", name);
    }
    return g_ChannelEvents[channel] != nullptr;
}

void CWinIcaRouting::Wake(int channel) { SetEvent(g_ChannelEvents[channel]); }

void CWinIcaRouting::WaitPassed(uint32_t ms) { WaitForSingleObject(m_share.hPassedOk.Get(), ms); }

bool CWinIcaRouting::IsExitSet() { return m_hExit && WaitForSingleObject(m_hExit, 0) == WAIT_OBJECT_0; }
