// Process-wide state of the file server, shared by the control thread and
// the file workers.
#pragma once

#include "ica_handoff.h"
#include "protocol.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

class CFileRpc;

// The control channel's receive buffer. On ICA the file workers also process
// their routed requests in it and build their replies over it.
alignas(8) extern unsigned char g_MessageBuffer[kMessageBufferSize];
// Bytes received into g_MessageBuffer for the message it holds.
extern std::atomic<uint32_t> g_dwMessageLength;

extern std::atomic<bool> g_bIcaSession;
// ICA: the one channel, opened by the control thread; the workers write
// their replies through it. Null on RDP and after the control thread ended.
extern std::atomic<HANDLE> g_hIcaChannel;
// Auto-reset "Event_Passed_OK": an ICA worker is done with a routed message.
extern HANDLE g_hEventPassedOk;
// Who owns g_MessageBuffer between the control thread and an ICA worker.
extern CIcaBufferHandoff g_IcaHandoff;

// The server critical section: guards g_FileRpcTable and serialises ICA
// request processing. It lives as long as the process (never deleted), so a
// worker that outlives its control thread can still take it safely.
class CServerLock
{
public:
    CServerLock();
    CServerLock(const CServerLock &) = delete;
    CServerLock &operator=(const CServerLock &) = delete;
    void Enter() { EnterCriticalSection(&m_cs); }
    void Leave() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CServerLockGuard
{
public:
    CServerLockGuard();
    ~CServerLockGuard();
    CServerLockGuard(const CServerLockGuard &) = delete;
    CServerLockGuard &operator=(const CServerLockGuard &) = delete;
};

CServerLock &ServerLock();

// A thread that did not end within its wait (a file worker, an open, the
// control thread) still runs, and may use anything of the process: once one
// was given up, the program ends without static destruction.
void NoteThreadGivenUp();
bool AnyThreadGivenUp();

// Creates the process-wide events ("Event_Passed_OK"). Called once at
// program start, before any thread; returns false when it fails.
bool InitServerGlobals();

// "ZRBCh00" ... "ZRBCh09": the ICA hand-off event of data channel n.
void IcaChannelEventName(int n, wchar_t (&name)[8]);
