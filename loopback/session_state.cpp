#include "session_state.h"

#include "pipe_io.h"

namespace loopback {

namespace {

struct SessionChange
{
    WPARAM change;
    LPARAM session;
};

BOOL CALLBACK PostSessionChange(HWND hwnd, LPARAM param)
{
    const auto *note = reinterpret_cast<const SessionChange *>(param);
    if (GetPropW(hwnd, kSessionNotifyProperty))
        PostMessageW(hwnd, WM_WTSSESSION_CHANGE, note->change, note->session);
    return TRUE;
}

} // namespace

void CSessionState::MarkDisconnected()
{
    if (!m_hDisconnected)
        m_hDisconnected.Reset(CreateEventW(nullptr, TRUE, FALSE, kSessionDisconnectedEvent));
    if (m_hDisconnected)
        SetEvent(m_hDisconnected.Get());
}

void CSessionState::MarkConnected()
{
    if (m_hDisconnected)
        ResetEvent(m_hDisconnected.Get());
}

// Every top-level window that carries the registration's property.
void CSessionState::NotifyWindows(bool ica, bool connected)
{
    const WPARAM change = connected ? (ica ? WTS_CONSOLE_CONNECT : WTS_REMOTE_CONNECT)
                                    : (ica ? WTS_CONSOLE_DISCONNECT : WTS_REMOTE_DISCONNECT);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    SessionChange note{change, static_cast<LPARAM>(session)};
    EnumWindows(PostSessionChange, reinterpret_cast<LPARAM>(&note));
}

} // namespace loopback
