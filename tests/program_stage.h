// Staging the real programs for tests that run them as processes: a copy of
// the shipping program with the loopback channel libraries beside it (the
// shipping folder never holds them), and the server's hidden main dialog.
#pragma once

#include <windows.h>

#include <string>

namespace wintest {

// build/<preset>/, with a trailing backslash.
std::wstring BuildFolder();

// Copies the built PyxVideoServer.exe (and the loopback libraries) into
// `folder` (created if missing; ending in a backslash); false on failure.
bool StageServer(const std::wstring &folder);

// The hidden main dialog of a server process (class "#32770", caption
// "mc"); pid 0 takes any process's. Waits up to timeoutMs; 0 when none.
HWND ServerDialog(DWORD pid, DWORD timeoutMs = 10000);

// Ends every running server through its own "Stop Server" command and
// waits until their dialogs are gone; false when one stayed.
bool StopServers(DWORD timeoutMs = 10000);

} // namespace wintest
