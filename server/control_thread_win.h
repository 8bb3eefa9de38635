// The server's control thread: waits for a remote session, opens the control
// channel, asks the client for its parameters and serves the control channel
// (SEND, OPEN, CLOS, FCLO; on ICA it also routes data messages to the file
// workers) until its exit event is set.
#pragma once

#include "session.h"
#include "kernel_names.h"

#include <windows.h>

// What the control thread needs of the window that starts it. The thread
// reads both values once, at its start, and keeps its own reference to the
// exit event, so it never reaches the owner again: an owner that is gone
// while the thread still runs (it did not end in time) is never touched.
class CControlThreadOwner
{
public:
    virtual HWND GetControlWindow() const = 0;   // gets WM_COMMAND 3; holds the settings check boxes
    virtual HANDLE GetExitEvent() const = 0;     // manual-reset; set to ask the thread to end
    // True for a start on the session's connect: a client without the
    // client player may be the one that connected, so a failure before the
    // thread serves ends it without a box and the server waits for the next
    // connect.
    virtual bool IsQuietStart() const = 0;

protected:
    ~CControlThreadOwner() = default;
};


// Thread procedure; the parameter is a CControlThreadOwner*. Always returns 0.
DWORD WINAPI PyxControlThread(LPVOID lpParameter);

// Sends the parameter solicitation on the player channel of a session of
// that kind.
bool SolicitePolicyFromClient(HANDLE hExit, SessionKind kind);
