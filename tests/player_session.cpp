#include "player_session.h"

#include "program_stage.h"
#include "kernel_names.h"

#include <chrono>

namespace wintest {

PlayerClient::PlayerClient(const loopback::PlayerOptions &options) : m_player(m_device, [&] {
    loopback::PlayerOptions o = options;
    o.seconds = 0;   // until the test ends
    return o;
}())
{
    m_player.m_onMessage = [this](const loopback::PlayerEvent &e) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(e);
        m_arrived.notify_all();
    };
    std::string error;
    if (m_device.Start(&error))
        m_thread = std::thread([this] { m_player.Run(); });
}

PlayerClient::~PlayerClient()
{
    m_player.Stop();
    if (m_thread.joinable())
        m_thread.join();
    m_device.Stop();
}

std::vector<loopback::PlayerEvent> PlayerClient::Since() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return {m_events.begin() + static_cast<std::ptrdiff_t>(m_mark), m_events.end()};
}

void PlayerClient::Mark()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_mark = m_events.size();
}

bool PlayerClient::WaitFor(uint32_t code, DWORD timeoutMs, loopback::PlayerEvent *out)
{
    std::unique_lock<std::mutex> hold(m_lock);
    size_t seen = m_mark;
    return m_arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        for (; seen < m_events.size(); ++seen) {
            const PlayerMessage &m = m_events[seen].message;
            const bool match = code == 0 ? m.kind == PlayerMessage::kOpen
                                         : m.kind == PlayerMessage::kControl && m.control.dwCommand == code;
            if (match) {
                if (out)
                    *out = m_events[seen];
                return true;
            }
        }
        return false;
    });
}

void PlayerClient::WaitQuiet(DWORD quietMs)
{
    std::unique_lock<std::mutex> hold(m_lock);
    for (size_t count = m_events.size();;) {
        m_arrived.wait_for(hold, std::chrono::milliseconds(quietMs));
        if (m_events.size() == count)
            return;
        count = m_events.size();
    }
}

bool StagePrograms(const std::wstring &folder)
{
    // The programs as the package carries them: stripped, and signed when
    // the build has a certificate.
    if (!StageServer(folder))
        return false;
    const std::wstring files = BuildFolder() + L"installer\\files\\";
    for (const wchar_t *program : {L"PyxVideoServer.exe", L"PyxUserInterface.exe"}) {
        if (!CopyFileW((files + program).c_str(), (folder + program).c_str(), FALSE))
            return false;
    }
    return true;
}

HWND WaitForPlayerWindow(DWORD pid, DWORD timeoutMs)
{
    return WaitForTopLevel(kPlayerWindowTitle, timeoutMs, pid);
}

} // namespace wintest
