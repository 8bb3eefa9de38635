#include "ica_routing.h"

#include "file_object.h"
#include "server_globals.h"
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

void CWinIcaRouting::WaitPassed(uint32_t ms) { WaitForSingleObject(g_hEventPassedOk, ms); }

bool CWinIcaRouting::IsExitSet() { return m_hExit && WaitForSingleObject(m_hExit, 0) == WAIT_OBJECT_0; }

bool pass_the_message(int channel, uint32_t n, HANDLE hExit)
{
    CWinIcaRouting routing(hExit);
    return PassTheMessage(channel, n, routing, g_IcaHandoff, g_dwMessageLength);
}

void WaitForBufferReturned(HANDLE hExit)
{
    CWinIcaRouting routing(hExit);
    WaitForBufferReturned(routing, g_IcaHandoff);
}
