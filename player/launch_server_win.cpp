// The platform's side of the server launch: the named events of the session,
// the installation values in the registry and the process start.
#include "launch_server.h"

#include "registry_win.h"
#include "handle_win.h"
#include "instance_marker_win.h"
#include "kernel_names.h"

#include <windows.h>

#include <string>

namespace {

ServerMarker ProbeServerMarker()
{
    MarkerState state = MarkerState::Failed;
    // The handle closes at once: the marker must be gone again before the
    // server starts, as the server refuses to run while it exists.
    const CHandle marker = CreateInstanceMarker(kServerInstanceMarkerName, &state);
    switch (state) {
    case MarkerState::Created:
        return ServerMarker::Created;
    case MarkerState::AlreadyExists:
        return ServerMarker::AlreadyExists;
    case MarkerState::Failed:
        break;
    }
    return ServerMarker::Failed;
}

size_t ComposeServerPath(WireChar (&path)[kPathUnits])
{
    return ComposeInstallationPath(Win32Registry(), path, {kValuePath, kValueServerApplication});
}

bool StartServerProcess(const WireChar *path, const WireChar *folder, uint32_t *error)
{
    static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows wide strings are UTF-16");
    const wchar_t *file = reinterpret_cast<const wchar_t *>(path);
    // The program file is named as the application, and the command line
    // quotes it: with a folder such as "C:\Program Files\Tarsel\" the
    // platform would otherwise try "C:\Program.exe" first and start whatever
    // was planted there.
    std::wstring commandLine = L"\"" + std::wstring(file) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const wchar_t *directory = reinterpret_cast<const wchar_t *>(folder);
    if (!CreateProcessW(file, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &info)) {
        *error = GetLastError();
        return false;
    }
    // The player never waits for the server process itself.
    CHandle process(info.hProcess);
    CHandle thread(info.hThread);
    return true;
}

ReadyWait WaitForServerReady(uint32_t timeoutMs, uint32_t *error)
{
    // Manual-reset and kept open by a running server's control thread, so it
    // does not matter which side creates it first.
    const CHandle ready(CreateEventW(nullptr, TRUE, FALSE, kServerReadyEventName));
    if (!ready)
        return ReadyWait::CreateFailed;
    switch (WaitForSingleObject(ready.Get(), timeoutMs)) {
    case WAIT_OBJECT_0:
        return ReadyWait::Ready;
    case WAIT_TIMEOUT:
        return ReadyWait::Timeout;
    default:
        *error = GetLastError();
        return ReadyWait::WaitFailed;
    }
}

const LaunchOps kPlatform{ProbeServerMarker, ComposeServerPath, StartServerProcess, WaitForServerReady};

} // namespace

const LaunchOps *DefaultLaunchOps() { return &kPlatform; }
