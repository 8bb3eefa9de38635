// playerctl: drives the running player window as a user would, for the main
// job: its tool-bar buttons and menu items, the position slider, and what
// it shows.
//
//   playerctl press BUTTON       play, pause, stop, mute, sound-on, full, kill, ...
//   playerctl seek PERCENT       moves the position slider's thumb there
//   playerctl volume PERCENT     moves the volume slider's thumb there
//   playerctl move X Y           moves the window (its upper-left corner) there
//   playerctl minimize | restore minimises the window, or brings it back
//   playerctl video              prints the video area's screen rectangle: X Y W H
//   playerctl status             prints the status line
//   playerctl wait-status TEXT [--timeout-ms N]   waits until the status line starts with TEXT,
//                                                 printing every status line seen on the way
//   playerctl slider             prints the position slider's value
//   playerctl rect               prints the window's screen rectangle: X Y W H
//   playerctl exit [--timeout-ms N]   File, Exit; waits until the window is gone
//
// Exits 0 on success, 1 when the player window or its answer was not found.
#include "resource.h"
#include "kernel_names.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Button
{
    const wchar_t *name;
    UINT id;
};
#define PRESSED_BY(NAME, code, id, word, ...) {L"" word, id},
constexpr Button kButtons[] = {
    PLAYER_COMMAND_TABLE(PRESSED_BY, PRESSED_BY, PLAYER_TABLE_SKIP, PLAYER_TABLE_SKIP)
};
#undef PRESSED_BY

HWND WaitForPlayer(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    HWND w = nullptr;
    while (!(w = FindWindowW(nullptr, kPlayerWindowTitle)) && GetTickCount() - start < timeoutMs)
        Sleep(50);
    return w;
}

std::wstring Status(HWND player)
{
    wchar_t text[512] = {};
    GetDlgItemTextW(player, IDC_STATUS, text, 512);
    return text;
}

DWORD TimeoutArg(int argc, wchar_t **argv, int at, DWORD fallback)
{
    return argc > at + 1 && wcscmp(argv[at], L"--timeout-ms") == 0 ? static_cast<DWORD>(_wtoi(argv[at + 1])) : fallback;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: playerctl press BUTTON | seek PERCENT | volume PERCENT | move X Y | minimize | restore | status |"
                             " wait-status TEXT | slider | rect | video | exit\n");
        return 2;
    }
    const std::wstring verb = argv[1];
    HWND player = WaitForPlayer(10000);
    if (!player) {
        std::fprintf(stderr, "playerctl: no player window\n");
        return 1;
    }
    if (verb == L"press" && argc > 2) {
        for (const Button &b : kButtons) {
            if (wcscmp(b.name, argv[2]) == 0)
                return PostMessageW(player, WM_COMMAND, b.id, 0) ? 0 : 1;
        }
        std::fprintf(stderr, "playerctl: no button %ls\n", argv[2]);
        return 2;
    }
    if ((verb == L"seek" || verb == L"volume") && argc > 2) {
        // The thumb let go at PERCENT, as a drag of the mouse ends.
        const int percent = _wtoi(argv[2]);
        HWND slider = GetDlgItem(player, verb == L"seek" ? IDC_POSITION : IDC_VOLUME);
        SendMessageW(slider, TBM_SETPOS, TRUE, percent);
        return PostMessageW(player, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, percent),
                            reinterpret_cast<LPARAM>(slider)) ? 0 : 1;
    }
    if (verb == L"status") {
        std::printf("%ls\n", Status(player).c_str());
        return 0;
    }
    if (verb == L"wait-status" && argc > 2) {
        const std::wstring want = argv[2];
        const DWORD timeout = TimeoutArg(argc, argv, 3, 15000);
        const DWORD start = GetTickCount();
        std::wstring seen;
        for (;;) {
            const std::wstring now = Status(player);
            if (now != seen && !now.empty()) {
                std::printf("%ls\n", now.c_str());
                std::fflush(stdout);
            }
            seen = now;
            if (now.compare(0, want.size(), want) == 0)
                return 0;
            if (GetTickCount() - start > timeout) {
                std::fprintf(stderr, "playerctl: the status line shows \"%ls\"\n", now.c_str());
                return 1;
            }
            Sleep(5);
        }
    }
    if (verb == L"slider") {
        std::printf("%d\n", static_cast<int>(SendDlgItemMessageW(player, IDC_POSITION, TBM_GETPOS, 0, 0)));
        return 0;
    }
    if (verb == L"rect") {
        RECT rc{};
        GetWindowRect(player, &rc);
        std::printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
        return 0;
    }
    if (verb == L"move" && argc > 3) {
        return SetWindowPos(player, nullptr, _wtoi(argv[2]), _wtoi(argv[3]), 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) ? 0 : 1;
    }
    if (verb == L"minimize" || verb == L"restore") {
        // As the title bar's buttons do it: through the system menu's command.
        return PostMessageW(player, WM_SYSCOMMAND, verb == L"minimize" ? SC_MINIMIZE : SC_RESTORE, 0) ? 0 : 1;
    }
    if (verb == L"video") {
        RECT rc{};
        GetWindowRect(GetDlgItem(player, IDC_VIDEO_AREA), &rc);
        std::printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
        return 0;
    }
    if (verb == L"exit") {
        const DWORD timeout = TimeoutArg(argc, argv, 2, 10000);
        PostMessageW(player, WM_COMMAND, ID_APP_EXIT, 0);
        const DWORD start = GetTickCount();
        while (IsWindow(player) && GetTickCount() - start < timeout)
            Sleep(50);
        return IsWindow(player) ? 1 : 0;
    }
    std::fprintf(stderr, "playerctl: unknown command\n");
    return 2;
}
