#include "ica_routing.h"

#include "file_rpc.h"
#include "server_globals.h"
#include "trace.h"

HANDLE g_ChannelEvents[kDataChannelCount] = {};

void WaitForBufferReturned(HANDLE hExit)
{
    while (!g_IcaHandoff.IsFree()) {
        if (hExit && WaitForSingleObject(hExit, 0) == WAIT_OBJECT_0)
            return;
        WaitForSingleObject(g_hEventPassedOk, 100);
    }
}

bool pass_the_message(int channel, uint32_t n, HANDLE hExit)
{
    if (!IsDataChannel(channel))
        return false;
    {
        // No worker waits on a channel without a file: the message is
        // dropped at once, so a stream of them cannot hold the control
        // channel 1500 ms each.
        CServerLockGuard guard;
        if (!g_FileRpcTable[channel] || g_FileRpcTable[channel]->IsOpening()) {
            PYX_TRACE(L"pass_the_message: no file on data channel %d, message dropped\r\n", channel);
            return false;
        }
        // A worker still in its previous request would take this one only
        // when that is done: every other file and "SEND" would wait for it.
        if (g_FileRpcTable[channel]->IsInRequest()) {
            PYX_TRACE(L"pass_the_message: the worker of data channel %d is still in a request, message dropped\r\n",
                      channel);
            return false;
        }
    }
    if (!g_ChannelEvents[channel]) {
        wchar_t name[8];
        IcaChannelEventName(channel, name);
        g_ChannelEvents[channel] = CreateEventW(nullptr, FALSE, FALSE, name);
        PYX_TRACE(L"pass_the_message: CreateEvent %s\r\n", name);
        if (!g_ChannelEvents[channel])
            return false;
    }
    g_dwMessageLength.store(n, std::memory_order_release);
    // The hand-off state, not the event, tells whether the worker is done:
    // a late signal of an earlier hand-off must not count for this one.
    g_IcaHandoff.Offer(channel);
    SetEvent(g_ChannelEvents[channel]);
    const ULONGLONG deadline = GetTickCount64() + kHandoffWaitMs;
    for (;;) {
        if (g_IcaHandoff.IsFree())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        WaitForSingleObject(g_hEventPassedOk, static_cast<DWORD>(deadline - now));
    }
    PYX_TRACE(L"pass_the_message: Timeout, Event not handled!!!!!!!!!!!!!!1\r\n");
    if (!g_IcaHandoff.Withdraw(channel))
        WaitForBufferReturned(hExit);   // the worker took it and is still at work
    return false;
}
