// The write loop of the player's worker thread: waits for the stop event or
// the command event, takes one command at a time from the queue and writes
// its message to the player channel under the session's player mutex.
// Portable; the events, the mutex and the channel sit behind
// CPlayerLoopPlatform (player_control.cpp on Windows, fakes in the tests).
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
// and none when the stop event cancelled it. In a disconnected session
// nothing is written: the command goes back to the front of the queue and
// the loop waits for the stop event (the window restarts the thread on the
// session's connect); queued commands wait with it.
void RunPlayerCommandLoop(CPlayerCommandQueue &queue, CPlayerLoopPlatform &platform);
