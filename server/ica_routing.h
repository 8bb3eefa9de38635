// ICA: the hand-off of a data-channel message in g_MessageBuffer to the
// worker of its channel, over the session's events and the file table
// (the decisions are PassTheMessage's, control_dispatch.h).
#pragma once

#include <windows.h>

#include "control_dispatch.h"
#include "protocol.h"

// The hand-off events "ZRBCh00" ... "ZRBCh09", made on first use and kept for
// the life of the process.
extern HANDLE g_ChannelEvents[kDataChannelCount];

// The routing operations over the file table, the hand-off events and
// "Event_Passed_OK"; hExit (may be null) is the exit signal.
class CWinIcaRouting final : public CIcaRoutingOps
{
public:
    explicit CWinIcaRouting(HANDLE hExit) : m_hExit(hExit) {}

    Worker WorkerOf(int channel) override;
    bool PrepareWake(int channel) override;
    void Wake(int channel) override;
    void WaitPassed(uint32_t ms) override;
    uint64_t Now() override { return GetTickCount64(); }
    bool IsExitSet() override;

private:
    HANDLE m_hExit;
};

// PassTheMessage over g_MessageBuffer and g_IcaHandoff.
bool pass_the_message(int channel, uint32_t n, HANDLE hExit = nullptr);

// Waits until no worker holds g_MessageBuffer, or hExit is set.
void WaitForBufferReturned(HANDLE hExit);
