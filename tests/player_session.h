// The client side of whole player sessions for tests: the client emulator
// as the client device and client player, in this process, with every
// message of the player route kept with its time of arrival; and the real
// PyxUserInterface.exe and PyxVideoServer.exe staged side by side with the
// loopback libraries.
#pragma once

#include "client_device.h"
#include "client_player.h"
#include "win_test_util.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

class PlayerClient
{
public:
    explicit PlayerClient(const loopback::PlayerOptions &options = {});
    ~PlayerClient();
    PlayerClient(const PlayerClient &) = delete;
    PlayerClient &operator=(const PlayerClient &) = delete;

    // Messages that arrived since the last Mark().
    std::vector<loopback::PlayerEvent> Since() const;
    void Mark();
    // Waits for a command (CONT with this code) or, with code 0, an open
    // (RUOF) after the mark; true with it in *out.
    bool WaitFor(uint32_t code, DWORD timeoutMs, loopback::PlayerEvent *out = nullptr);
    // Waits until no message has arrived for quietMs.
    void WaitQuiet(DWORD quietMs);
    loopback::PlayerSummary Snapshot() const { return m_player.Snapshot(); }
    loopback::ClientDevice &Device() { return m_device; }

private:
    loopback::ClientDevice m_device{true};
    loopback::CClientPlayer m_player;
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<loopback::PlayerEvent> m_events;
    size_t m_mark = 0;
    std::thread m_thread;
};

// PyxUserInterface.exe and PyxVideoServer.exe as the package carries them
// (installer/files/: stripped, signed when the build is) with the loopback
// libraries in `folder` (created; ends in a backslash); false on failure.
bool StagePrograms(const std::wstring &folder);

// The player window of a process (title "Tarsel Player"); 0 when it did not
// come within timeoutMs.
HWND WaitForPlayerWindow(DWORD pid, DWORD timeoutMs = 10000);

} // namespace wintest
