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

std::u16string ProgramFolder(const WireChar *path)
{
    const std::u16string text(path);
    const size_t end = text.find_last_of(u"\\/");
    return end == std::u16string::npos ? std::u16string() : text.substr(0, end + 1);
}

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
    const std::u16string folder = ProgramFolder(path);
    if (!ops.StartServerProcess(path, folder.empty() ? nullptr : folder.c_str(), &error)) {
        PYX_TRACE(L"CreateProcess failed (%d).\n", error);
        return false;
    }

    switch (ops.WaitForServerReady(kServerReadyTimeoutMs, &error)) {
    case ReadyWait::CreateFailed:
        ShowErrorBox(L"Failed to create a global server ready event");
        return false;
    case ReadyWait::Timeout:
        ShowErrorBox(L"Server didn't activate properly!!!!, Timeout!\r\n");
        return false;
    case ReadyWait::WaitFailed:
        // Nothing says the server is ready: the launch failed, and the
        // caller's "No server is active!!!!" tells the user.
        PYX_TRACE(L"Waiting for the server ready event failed (%d).\r\n", error);
        return false;
    case ReadyWait::Ready:
        break;
    }
    PYX_TRACE(L"Server activated OK!\r\n");
    return true;
}
