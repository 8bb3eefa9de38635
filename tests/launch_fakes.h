// Server-launch operations for tests: a server that already runs, so the
// player's thread goes straight to its channel.
#pragma once

#include "launch_server.h"

inline const LaunchOps kServerRunningOps{
    [] { return ServerMarker::AlreadyExists; },
    [](WireChar (&)[kPathUnits]) { return size_t{0}; },
    [](const WireChar *, const WireChar *, uint32_t *) { return false; },
    [](uint32_t, uint32_t *) { return ReadyWait::Ready; },
};
