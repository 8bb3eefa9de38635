// Natively there is no server to start: the installation values are absent.
#include "launch_server.h"

namespace {

ServerMarker Probe() { return ServerMarker::Created; }
size_t Compose(WireChar (&path)[kPathUnits]) { return path[0] = 0, 0; }
bool Start(const WireChar *, const WireChar *, uint32_t *error) { return *error = 2, false; }
ReadyWait Wait(uint32_t, uint32_t *) { return ReadyWait::Timeout; }

const LaunchOps kNoServer{Probe, Compose, Start, Wait};

} // namespace

const LaunchOps *DefaultLaunchOps() { return &kNoServer; }
