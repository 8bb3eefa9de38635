// Windows sink: the registered message, posted to HWND_BROADCAST.
#include "notification.h"

#include "notify.h"

#include <windows.h>

void PlatformPostNotification(uint32_t wParam, int32_t lParam)
{
    // Registered once; the same name gives the same number in every program.
    static const UINT s_uMessage = RegisterWindowMessageW(kServerNotificationName);
    if (s_uMessage == 0)
        return;
    PostMessageW(HWND_BROADCAST, s_uMessage, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}
