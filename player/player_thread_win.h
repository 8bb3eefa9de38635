// What the PyxPlayerControl thread owns: the queue it shares with the
// window's CPlayerCommands, and its own duplicates of the stop and command
// events. Nothing of it is reached from outside once the thread runs.
#pragma once

#include "command_queue.h"
#include "handle_win.h"

#include <memory>

struct CPlayerThreadContext
{
    std::shared_ptr<CPlayerCommandQueue> pQueue;
    CHandle hStopEvent;      // manual-reset; set to make the thread end
    CHandle hCommandEvent;   // manual-reset; set whenever the list may hold a command
    // Started by the session's connect: the client's player may not listen
    // yet, so the channel's open is tried again for a while.
    bool afterConnect = false;
};
