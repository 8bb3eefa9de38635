// What the file server shares between its control thread and its file
// workers, and the names of the session's hand-off events.
#pragma once

#include "file_object.h"
#include "ica_handoff.h"
#include "protocol.h"
#include "handle_win.h"

#include <windows.h>

#include <atomic>
#include <memory>

// One per control thread: its receive buffer (CSharedMessage) and, on ICA,
// the session's one channel, through which the workers write their replies
// (null on RDP and once the control thread ended), and the auto-reset
// "Event_Passed_OK", set by a worker done with a routed message. Shared with
// the workers, as one left running may outlive the thread.
struct CIcaShare : CSharedMessage
{
    std::atomic<HANDLE> hChannel{nullptr};
    CHandle hPassedOk;
};

// A new share with its event; null when the event cannot be made.
std::shared_ptr<CIcaShare> MakeIcaShare();

// Makes what lives as long as the process (the server lock). Called once at
// program start, before any thread; false when it fails.
bool InitServerGlobals();

// "ZRBCh00" ... "ZRBCh09": the ICA hand-off event of data channel n.
void IcaChannelEventName(int n, wchar_t (&name)[8]);
