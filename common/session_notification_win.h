// A window's registration for the session's notifications
// (WM_WTSSESSION_CHANGE: connects and disconnects), held for the window's
// life. Where the platform lacks the functions the window goes without.
#pragma once

#include <windows.h>

#ifndef WM_WTSSESSION_CHANGE
#define WM_WTSSESSION_CHANGE 0x02B1
#endif

class CSessionNotification
{
public:
    CSessionNotification() = default;
    ~CSessionNotification() { Unregister(); }
    CSessionNotification(const CSessionNotification &) = delete;
    CSessionNotification &operator=(const CSessionNotification &) = delete;

    // Binds the session functions (once) and registers `window` for this
    // session's notifications; false (with a log line) when it cannot.
    bool Register(HWND window);
    void Unregister();

private:
    HWND m_hWnd = nullptr;
};

// Makes error boxes wait for a connected session (see SetErrorBoxGate).
void GateErrorBoxesOnSession();
