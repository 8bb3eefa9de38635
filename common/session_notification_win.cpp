#include "session_notification_win.h"

#include "api_sets_win.h"
#include "session.h"
#include "trace.h"

namespace {

constexpr DWORD kNotifyForThisSession = 0;   // NOTIFY_FOR_THIS_SESSION

} // namespace

bool CSessionNotification::Register(HWND window)
{
    Unregister();
    static const bool bound = (BindSessionFunctions(), true);
    (void)bound;
    if (!WtsSessionApi.WTSRegisterSessionNotification) {
        PYX_TRACE(L"CSessionNotification: no WTSRegisterSessionNotification; disconnects are not followed\r\n");
        return false;
    }
    if (!WtsSessionApi.WTSRegisterSessionNotification(window, kNotifyForThisSession)) {
        PYX_TRACE(L"CSessionNotification: WTSRegisterSessionNotification failed %d\r\n", GetLastError());
        return false;
    }
    m_hWnd = window;
    return true;
}

void CSessionNotification::Unregister()
{
    if (m_hWnd && WtsSessionApi.WTSUnRegisterSessionNotification)
        WtsSessionApi.WTSUnRegisterSessionNotification(m_hWnd);
    m_hWnd = nullptr;
}

void GateErrorBoxesOnSession() { SetErrorBoxGate(IsSessionConnected); }
