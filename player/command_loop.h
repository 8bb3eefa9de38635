// The write loop of the player's worker thread: waits for the stop event or
// the command event, takes one command at a time from the queue and writes
// its message to the player channel under the session's player mutex.
// Portable; the events, the mutex and the channel sit behind
// CPlayerLoopPlatform (player_thread_win.cpp on Windows, fakes in the tests).
#pragma once

#include "command_queue.h"

#include <cstdint>

class CPlayerLoopPlatform
{
public:
    enum class Wake { Stop, Command, Failed };

    // Waits without limit for the stop event or the command event. The stop
    // event wins when both are set, and is reset when it is seen. Failed
    // gives the wait's result in *result.
    virtual Wake WaitForWork(uint32_t *result) = 0;
    virtual void ResetCommandEvent() = 0;
    virtual void SetCommandEvent() = 0;
    // The named mutex around one channel write; false when it stayed busy.
    virtual bool AcquireMutex(uint32_t timeoutMs) = 0;
    virtual void ReleaseMutex() = 0;
    virtual bool WriteMessage(void *message, uint32_t length, uint32_t *written) = 0;
    // Waits at most timeoutMs (kWaitForever: no limit) for the stop event
    // only; true when it came (it is then reset, as by WaitForWork).
    virtual bool WaitForStop(uint32_t timeoutMs) = 0;
    // False only while the session is known to be disconnected.
    virtual bool IsSessionConnected() = 0;
    // A message box of the worker itself: caption "Error!", no owner.
    virtual void ShowMessageBox(const wchar_t *text) = 0;

protected:
    ~CPlayerLoopPlatform() = default;
};

constexpr uint32_t kPlayerMutexWaitMs = 1000;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;
// After a failed write, how long the session has to show that it
// disconnected before the failure counts as the client's.
constexpr uint32_t kDisconnectSettleMs = 500;

// Runs until the stop event is seen or the wait fails. A failed write shows
// "Failed to transmit data to client!" once until a write succeeds again,
// and none when the stop event cancelled it; the box is marked on the queue
// (EnterBox, LeaveBox), so that a connect meanwhile hands its restart over
// instead of waiting for the user. In a disconnected session nothing is
// written: the command goes back to the front of the queue and the loop
// waits for the stop event (the window restarts the thread on the session's
// connect); queued commands wait with it. A write that failed because the
// session went away shows no box either: its text goes to the error-box
// gate, whose trace line tells that a box was held back.
void RunPlayerCommandLoop(CPlayerCommandQueue &queue, CPlayerLoopPlatform &platform);

// Right after a connect the client's player may not listen yet: the channel
// is opened again every second for ten seconds before the thread gives up.
constexpr uint32_t kChannelOpenRetryMs = 1000;
constexpr uint32_t kChannelOpenRetryForMs = 10000;

// Calls `open` until it succeeds: once, or with `retry` every 1000 ms for
// 10000 ms. `waitForStop(ms)` waits between tries and is true when the stop
// event came (no more tries). True when a try succeeded.
template <class Open, class WaitForStop>
bool OpenPlayerChannelWithRetry(bool retry, Open open, WaitForStop waitForStop)
{
    if (open())
        return true;
    for (uint32_t waited = 0; retry && waited < kChannelOpenRetryForMs; waited += kChannelOpenRetryMs) {
        if (waitForStop(kChannelOpenRetryMs))
            return false;
        if (open())
            return true;
    }
    return false;
}
