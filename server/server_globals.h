// Process-wide state of the file server, shared by the control thread and
// the file workers.
#pragma once

#include "file_object.h"
#include "ica_handoff.h"
#include "protocol.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

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

// Creates the process-wide events ("Event_Passed_OK"). Called once at
// program start, before any thread; returns false when it fails.
bool InitServerGlobals();

// "ZRBCh00" ... "ZRBCh09": the ICA hand-off event of data channel n.
void IcaChannelEventName(int n, wchar_t (&name)[8]);
