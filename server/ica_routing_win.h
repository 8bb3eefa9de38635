// ICA: the hand-off of a data-channel message in the control thread's
// buffer to the worker of its channel, over the session's events and the
// file table (the decisions are PassTheMessage's, control_dispatch.h).
#pragma once

#include <windows.h>

#include "control_dispatch.h"
#include "protocol.h"
#include "ica_share_win.h"

// The hand-off events "ZRBCh00" ... "ZRBCh09", made on first use and kept for
// the life of the process.
extern HANDLE g_ChannelEvents[kDataChannelCount];

// The routing operations over the file table, the hand-off events and the
// share's "Event_Passed_OK"; hExit (may be null) is the exit signal.
class CWinIcaRouting final : public CIcaRoutingOps
{
public:
    CWinIcaRouting(HANDLE hExit, const CIcaShare &share) : m_hExit(hExit), m_share(share) {}

    Worker WorkerOf(int channel) override;
    bool PrepareWake(int channel) override;
    void Wake(int channel) override;
    void WaitPassed(uint32_t ms) override;
    uint64_t Now() override { return GetTickCount64(); }
    bool IsExitSet() override;

private:
    HANDLE m_hExit;
    const CIcaShare &m_share;
};
