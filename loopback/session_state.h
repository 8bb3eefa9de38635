// The client's side of the session's connect state on the loopback
// platform, shared by the client emulator and the relay: the stand-in
// libraries read it (WTSConnectState), and the windows registered with
// WTSRegisterSessionNotification are told when it changes.
#pragma once

#include "handle_win.h"

#include <windows.h>

namespace loopback {

class CSessionState
{
public:
    // The session reads disconnected from now on (the named event is made
    // at the first call and kept, so that the programs see it).
    void MarkDisconnected();
    void MarkConnected();
    // What a client leaving (connected false) or coming back tells the
    // registered windows: console changes for ICA, remote ones for RDP.
    static void NotifyWindows(bool ica, bool connected);

private:
    CHandle m_hDisconnected;
};

} // namespace loopback
