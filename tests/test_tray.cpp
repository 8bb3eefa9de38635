#include "doctest.h"

#include "tray_icon_win.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<WPARAM> g_commands;

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND)
        g_commands.push_back(LOWORD(wParam));
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND MakeWindow()
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TrayTestWindow";
        RegisterClassW(&wc);
        registered = true;
    }
    return CreateWindowExW(0, L"TrayTestWindow", L"tray test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

// Whether the shell still knows the icon, asked the way any program can.
bool IconExists(HWND hwnd, UINT id)
{
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = id;
    nid.uFlags = NIF_TIP;
    wcscpy(nid.szTip, L"Tarsel Service");
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

void Pump()
{
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

HICON TestIcon() { return LoadIconW(nullptr, IDI_APPLICATION); }

} // namespace

TEST_CASE("shell version class and structure size")
{
    CTrayNotifyIcon icon;
    CHECK(icon.ShellVersionClass() == 3);   // every supported Windows is 6.0 or later
    CHECK(icon.StructureSize() == sizeof(NOTIFYICONDATAW));
    CHECK_FALSE(icon.IsCreated());
}

TEST_CASE("the icon is added, answers callbacks, and goes with its window")
{
    HWND hwnd = MakeWindow();
    REQUIRE(hwnd);
    const WNDPROC original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
    {
        CTrayNotifyIcon icon;
        REQUIRE(icon.AddTrayIcon(hwnd, 4, L"Tarsel Service", TestIcon(), WM_USER + 100, 0, true));
        icon.SetTrayDefaultItem(32774, false);
        CHECK(icon.IsCreated());
        CHECK(IconExists(hwnd, 4));
        CHECK(GetMenuDefaultItem(icon.PopupMenu(), FALSE, 0) == 32774);

        g_commands.clear();
        CHECK_FALSE(icon.HandleTrayCallback(5, WM_LBUTTONDBLCLK));
        CHECK(g_commands.empty());
        CHECK(icon.HandleTrayCallback(4, WM_LBUTTONDOWN));
        CHECK(icon.HandleTrayCallback(4, WM_LBUTTONUP));
        CHECK(g_commands.empty());
        CHECK(icon.HandleTrayCallback(4, WM_LBUTTONDBLCLK));
        REQUIRE(g_commands.size() == 1);
        CHECK(g_commands[0] == 32774);

        SUBCASE("a right click shows the menu and its choice arrives as WM_COMMAND")
        {
            g_commands.clear();
            std::atomic<bool> sawMenu{false};
            std::thread user([&] {
                for (int i = 0; i < 200; ++i) {
                    HWND menu = FindWindowW(L"#32768", nullptr);
                    if (menu && IsWindowVisible(menu)) {
                        sawMenu = true;
                        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
                        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
                        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
                        return;
                    }
                    Sleep(25);
                }
            });
            // Falls back to cancelling the menu so the test can never hang.
            std::thread guard([&] {
                Sleep(8000);
                if (!sawMenu)
                    PostMessageW(hwnd, WM_CANCELMODE, 0, 0);
            });
            CHECK(icon.HandleTrayCallback(4, WM_RBUTTONUP));
            user.join();
            guard.detach();
            Pump();
            CHECK(sawMenu);
            REQUIRE(g_commands.size() >= 1);
            CHECK(g_commands.back() == 32775);
        }

        SUBCASE("TaskbarCreated re-adds the icon")
        {
            NOTIFYICONDATAW nid{};
            nid.cbSize = sizeof nid;
            nid.hWnd = hwnd;
            nid.uID = 4;
            Shell_NotifyIconW(NIM_DELETE, &nid);   // the shell lost it
            CHECK_FALSE(IconExists(hwnd, 4));
            SendMessageW(hwnd, CTrayNotifyIcon::TaskbarCreatedMessage(), 0, 0);
            CHECK(IconExists(hwnd, 4));
            CHECK(icon.IsCreated());
        }

        DestroyWindow(hwnd);
        CHECK_FALSE(icon.IsCreated());
        CHECK_FALSE(IconExists(hwnd, 4));
    }
    (void)original;
}

TEST_CASE("the subclass restores the previous procedure when the window is destroyed")
{
    HWND hwnd = MakeWindow();
    REQUIRE(hwnd);
    const LONG_PTR original = GetWindowLongPtrW(hwnd, GWLP_WNDPROC);
    CTrayIconHooker hooker(nullptr);
    REQUIRE(hooker.Subclass(hwnd));
    CHECK(GetWindowLongPtrW(hwnd, GWLP_WNDPROC) != original);
    hooker.Unsubclass();
    CHECK(GetWindowLongPtrW(hwnd, GWLP_WNDPROC) == original);
    DestroyWindow(hwnd);
}

TEST_CASE("a missing menu resource adds nothing")
{
    HWND hwnd = MakeWindow();
    CTrayNotifyIcon icon;
    CHECK_FALSE(icon.AddTrayIcon(hwnd, 77, L"x", TestIcon(), WM_USER + 100, 0, true));
    CHECK_FALSE(icon.IsCreated());
    CHECK_FALSE(IconExists(hwnd, 77));
    DestroyWindow(hwnd);
}
