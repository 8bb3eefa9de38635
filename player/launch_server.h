// Makes sure PyxVideoServer runs in the session before the player sends
// anything: a running server is known by its instance marker; otherwise the
// server is started from the installation values and given 3000 ms to set
// its ready event. The platform calls sit behind LaunchOps, so every path
// runs in tests without a server.
#pragma once

#include "install_path.h"

#include <cstdint>
#include <string>

enum class ServerMarker { Created, AlreadyExists, Failed };
enum class ReadyWait { Ready, Timeout, CreateFailed, WaitFailed };

struct LaunchOps
{
    // Creates the server's instance marker and closes it again at once, so
    // a server started next does not take itself for a second instance.
    ServerMarker (*ProbeServerMarker)();
    // "Path" + "ServerApplication" from the installation values; 0 = nothing.
    size_t (*ComposeServerPath)(WireChar (&path)[kPathUnits]);
    // Starts exactly this program file (never a shorter piece of a path
    // with blanks) with `folder` as its current folder (null: the player's),
    // without waiting for it; false with the platform's error.
    bool (*StartServerProcess)(const WireChar *path, const WireChar *folder, uint32_t *error);
    // Creates or opens the ready event and waits for it at most timeoutMs;
    // WaitFailed (with the platform's error) when the wait itself failed.
    ReadyWait (*WaitForServerReady)(uint32_t timeoutMs, uint32_t *error);
};

constexpr uint32_t kServerReadyTimeoutMs = 3000;

const LaunchOps &GetLaunchOps();
void SetLaunchOps(const LaunchOps *ops);   // null restores the default
const LaunchOps *DefaultLaunchOps();       // the platform's (Windows); none natively

// The folder of a program path, with its closing separator: the server's
// current folder, so that nothing is looked for in the folder of the file
// the user opened (the player's current folder after a double click).
// Empty for a bare file name.
std::u16string ProgramFolder(const WireChar *path);

// True when a server runs (it was there, or the one started became ready in
// time). Every failure is reported before it returns.
bool LaunchServer();
