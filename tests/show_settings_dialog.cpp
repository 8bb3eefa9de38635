// Shows the settings dialog (template 129) for a moment so that it can be
// photographed: prints "shown X Y W H" with its window rectangle once it is
// on screen, then keeps it up for the given milliseconds (default 4000).
#include "resource.h"

#include "photograph.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        HWND combo = GetDlgItem(hwnd, IDC_ASX_PROCESSING);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Client"));
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Server"));
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        return TRUE;
    }
    if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) {
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int main(int argc, char **argv)
{
    const DWORD showMs = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 4000;
    const HINSTANCE module = GetModuleHandleW(nullptr);
    HWND dlg = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_MAINDLG), nullptr, DialogProc, 0);
    if (!dlg) {
        std::printf("no dialog (%lu)\n", GetLastError());
        return 1;
    }
    HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_PYXSERVER), IMAGE_ICON, 16, 16, 0));
    SendMessageW(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    CheckDlgButton(dlg, IDC_STARTUP, BST_CHECKED);
    CheckDlgButton(dlg, IDC_EXT_AVI, BST_CHECKED);
    CheckDlgButton(dlg, IDC_EXT_MP3, BST_CHECKED);
    ShowForPhotograph(dlg, showMs);
    DestroyWindow(dlg);
    DestroyIcon(icon);
    return 0;
}
