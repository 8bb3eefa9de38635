// Staging the real programs for tests that run them as processes: a copy of
// the shipping program with the loopback channel libraries beside it (the
// shipping folder never holds them), and the server's hidden main dialog.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// build/<preset>/, with a trailing backslash.
std::wstring BuildFolder();

// Copies the built PyxVideoServer.exe (and the loopback libraries) into
// `folder` (created if missing; ending in a backslash); false on failure.
bool StageServer(const std::wstring &folder);

// Copies of the loopback channel libraries in `folder` (created), as a
// library planted beside a document would lie there; false on failure.
bool PlantLibraries(const std::wstring &folder);

// While it lives, every program started from this process (and what those
// start) notes each loopback channel library it loads, by the library's
// full path.
class LibraryLoads
{
public:
    LibraryLoads();
    ~LibraryLoads();
    LibraryLoads(const LibraryLoads &) = delete;
    LibraryLoads &operator=(const LibraryLoads &) = delete;
    std::vector<std::wstring> Paths() const;
    // How many loads were of a library in `folder`.
    size_t From(const std::wstring &folder) const;

private:
    std::wstring m_log;
};

// The hidden main dialog of a server process (class "#32770", caption
// "mc"); pid 0 takes any process's. Waits up to timeoutMs; 0 when none.
HWND ServerDialog(DWORD pid, DWORD timeoutMs = 10000);

// Ends every running server through its own "Stop Server" command and
// waits until their dialogs are gone; false when one stayed.
bool StopServers(DWORD timeoutMs = 10000);

} // namespace wintest
