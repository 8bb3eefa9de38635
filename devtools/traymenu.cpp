// traymenu: picks an item of PyxVideoServer's tray menu as a user would: a
// right click on the icon (the icon's callback message to the server's
// window), then the item chosen with the keyboard in the menu that appears.
//
//   traymenu settings|exit [--timeout-ms N]
//
// Exits 0 when the item was chosen (for "exit": once the server's window is
// gone), 1 when the server window or its menu was not found in time.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT kTrayCallbackMessage = WM_USER + 100;
constexpr UINT kTrayIconId = 4;

HWND FindServerWindow()
{
    // The hidden main dialog: class "#32770", caption "mc".
    return FindWindowW(L"#32770", L"mc");
}

HWND FindVisibleMenu()
{
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2 || (wcscmp(argv[1], L"settings") != 0 && wcscmp(argv[1], L"exit") != 0)) {
        std::fprintf(stderr, "usage: traymenu settings|exit [--timeout-ms N]\n");
        return 2;
    }
    const bool exitItem = wcscmp(argv[1], L"exit") == 0;
    DWORD timeout = 10000;
    if (argc > 3 && wcscmp(argv[2], L"--timeout-ms") == 0)
        timeout = static_cast<DWORD>(_wtoi(argv[3]));

    const DWORD start = GetTickCount();
    HWND server = nullptr;
    while (!(server = FindServerWindow()) && GetTickCount() - start < timeout)
        Sleep(50);
    if (!server) {
        std::fprintf(stderr, "traymenu: no server window\n");
        return 1;
    }
    // The server shows the menu inside its handling of the callback, so the
    // click is posted and the menu looked for meanwhile.
    PostMessageW(server, kTrayCallbackMessage, kTrayIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    while (!(menu = FindVisibleMenu()) && GetTickCount() - start < timeout)
        Sleep(25);
    if (!menu) {
        std::fprintf(stderr, "traymenu: the menu did not appear\n");
        return 1;
    }
    // "Settings" is the first item, "Exit" the second.
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    if (exitItem)
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    if (!exitItem)
        return 0;
    while (IsWindow(server) && GetTickCount() - start < timeout)
        Sleep(50);
    if (IsWindow(server)) {
        std::fprintf(stderr, "traymenu: the server did not end\n");
        return 1;
    }
    std::printf("traymenu: server ended through its tray menu\n");
    return 0;
}
