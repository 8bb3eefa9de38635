// The tail of the programs that show a dialog to be photographed: puts it
// at 40,40 on top, prints "shown X Y W H" once it has been on screen for a
// moment, and keeps it up for showMs while serving its messages.
#pragma once

#include <windows.h>

#include <cstdio>

inline int ShowForPhotograph(HWND dlg, DWORD showMs)
{
    SetWindowPos(dlg, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(dlg);
    UpdateWindow(dlg);
    RECT rc{};
    GetWindowRect(dlg, &rc);

    bool announced = false;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < showMs) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return 0;
            if (!IsDialogMessageW(dlg, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (!announced && GetTickCount() - start > 500) {
            std::printf("shown %ld %ld %ld %ld\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
            std::fflush(stdout);
            announced = true;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return 0;
}
