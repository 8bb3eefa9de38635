#include "launch_server.h"

#include "trace.h"

#include <atomic>

namespace {

std::atomic<const LaunchOps *> g_launchOps{nullptr};

} // namespace

const LaunchOps &GetLaunchOps()
{
    const LaunchOps *ops = g_launchOps.load();
    return ops ? *ops : *DefaultLaunchOps();
}

void SetLaunchOps(const LaunchOps *ops) { g_launchOps.store(ops); }

bool LaunchServer()
{
    const LaunchOps &ops = GetLaunchOps();
    switch (ops.ProbeServerMarker()) {
    case ServerMarker::Failed:
        ShowErrorBox(L"Failed to create a global event, Check debug log...");
        PYX_TRACE(L"Failed to create a global event\r\n");
        return false;
    case ServerMarker::AlreadyExists:
        PYX_TRACE(L"Server already running!!!!\r\n");
        return true;
    case ServerMarker::Created:
        break;
    }

    WireChar path[kPathUnits] = {};
    if (ops.ComposeServerPath(path) == 0)
        return false;

    uint32_t error = 0;
    if (!ops.StartServerProcess(path, &error)) {
        PYX_TRACE(L"CreateProcess failed (%d).\n", error);
        return false;
    }

    switch (ops.WaitForServerReady(kServerReadyTimeoutMs)) {
    case ReadyWait::CreateFailed:
        ShowErrorBox(L"Failed to create a global server ready event");
        return false;
    case ReadyWait::Timeout:
        ShowErrorBox(L"Server didn't activate properly!!!!, Timeout!\r\n");
        return false;
    case ReadyWait::Ready:
        break;
    }
    PYX_TRACE(L"Server activated OK!\r\n");
    return true;
}
