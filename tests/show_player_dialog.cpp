// Shows the player's window (dialog 129 with its menu, the tool bar built
// from the resources, a file playing) for a moment so that it can be
// photographed: prints "shown X Y W H" with its window rectangle once it is
// on screen, then keeps it up for the given milliseconds (default 4000).
#include "resource.h"
#include "toolbar_win.h"

#include "photograph.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

HINSTANCE g_hInstance;
constexpr int kSizeGripId = 100;

void PlaceSizeGrip(HWND dlg)
{
    RECT rc{};
    GetClientRect(dlg, &rc);
    const int cx = GetSystemMetrics(SM_CXVSCROLL), cy = GetSystemMetrics(SM_CYHSCROLL);
    SetWindowPos(GetDlgItem(dlg, kSizeGripId), nullptr, rc.right - cx, rc.bottom - cy, cx, cy, SWP_NOZORDER);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG: {
        const DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | CCS_TOP | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT;
        if (!CreateToolBarFromResource(hwnd, g_hInstance, IDR_TOOLBAR, style, ID_TOOLBAR_WINDOW))
            std::printf("no tool bar (%lu)\n", GetLastError());
        CreateWindowExW(0, L"SCROLLBAR", nullptr, WS_CHILD | WS_VISIBLE | SBS_SIZEGRIP, 0, 0, 0, 0, hwnd,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kSizeGripId)), g_hInstance, nullptr);
        PlaceSizeGrip(hwnd);
        for (int id : {IDC_VOLUME, IDC_POSITION})
            SendDlgItemMessageW(hwnd, id, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
        SendDlgItemMessageW(hwnd, IDC_VOLUME, TBM_SETPOS, TRUE, 100);
        SendDlgItemMessageW(hwnd, IDC_POSITION, TBM_SETPOS, TRUE, 40);
        SetDlgItemTextW(hwnd, IDC_FILE_NAME, L"C:\\Users\\Public\\Videos\\Harbour at dusk.avi");
        SetDlgItemTextW(hwnd, IDC_STATUS, L"Playing.....         512 kbytes from 16384;");
        SetWindowTextW(hwnd, L"Tarsel Player");
        SetFocus(GetDlgItem(hwnd, IDC_POSITION));
        return FALSE;
    }
    case WM_SIZE:
        SendDlgItemMessageW(hwnd, ID_TOOLBAR_WINDOW, TB_AUTOSIZE, 0, 0);
        PlaceSizeGrip(hwnd);
        return TRUE;
    case WM_NOTIFY:
        return AnswerToolTip(lp, g_hInstance);
    case WM_COMMAND:
        if (LOWORD(wp) == IDCANCEL || LOWORD(wp) == ID_APP_EXIT)
            PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int main(int argc, char **argv)
{
    const DWORD showMs = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 4000;
    g_hInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    HWND dlg = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(IDD_MAINDLG), nullptr, DialogProc, 0);
    if (!dlg) {
        std::printf("no dialog (%lu)\n", GetLastError());
        return 1;
    }
    HICON icon = static_cast<HICON>(LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_PLAYER), IMAGE_ICON, 16, 16, 0));
    SendMessageW(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    ShowForPhotograph(dlg, showMs);
    DestroyWindow(dlg);
    DestroyIcon(icon);
    return 0;
}
