// Dropping files on the player window. A real drag cannot be made here (a
// drop's handle is only valid in the process that receives it, and Wine's
// drag and drop needs an X drag source), so the window is created in this
// process from the program's own window class and resources and given
// WM_DROPFILES with a drop built here, as the shell would deliver it. The
// same window takes a change of scale with a rectangle of this process, as
// the system gives it.
#include "doctest.h"

#include "launch_fakes.h"
#include "launch_server.h"
#include "main_dlg_win.h"
#include "player_commands_win.h"
#include "player_msg.h"
#include "protocol.h"
#include "resource.h"
#include "session_fakes.h"
#include "vc_server.h"
#include "win_test_util.h"

#include <shlobj.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// A drop of these names, as the shell hands it over.
HDROP MakeDrop(const std::vector<std::wstring> &names)
{
    size_t chars = 2;   // the list ends with an empty name, even when it has none
    for (const auto &n : names)
        chars += n.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    auto *drop = static_cast<DROPFILES *>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    wchar_t *out = reinterpret_cast<wchar_t *>(drop + 1);
    for (const auto &n : names) {
        wcscpy(out, n.c_str());
        out += n.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// The window on a thread of its own with its message loop, as the program runs it.
struct Window
{
    std::thread thread;
    std::atomic<HWND> hwnd{nullptr};
    DWORD threadId = 0;
    Window()
    {
        std::atomic<bool> ready{false};
        thread = std::thread([&] {
            threadId = GetCurrentThreadId();
            CMessageLoop loop;
            g_Module.AddMessageLoop(&loop);
            CMainDlg dlg;
            hwnd = dlg.Create(GetModuleHandleW(nullptr), IDD_MAINDLG, nullptr);
            ready = true;
            if (hwnd)
                loop.Run();
            g_Module.RemoveMessageLoop();
        });
        while (!ready)
            Sleep(5);
    }
    ~Window()
    {
        if (hwnd)
            PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
        thread.join();
    }
};

// The opens that reach the client player within ms.
std::vector<std::wstring> Opens(loopback::ChannelServer &client, DWORD ms)
{
    std::vector<std::wstring> out;
    loopback::ReceivedMessage m;
    const DWORD start = GetTickCount();
    for (DWORD passed = 0; passed < ms; passed = GetTickCount() - start) {
        if (!client.Receive(&m, ms - passed))
            break;
        OpenRequest open{};
        if (MessageType(m.bytes.data()) == PYXMSG_PLAYER_OPEN &&
            ReadOpenRequest(m.bytes.data(), static_cast<uint32_t>(m.bytes.size()), &open))
            out.emplace_back(reinterpret_cast<const wchar_t *>(open.filename));
    }
    return out;
}

// An RDP session whose server runs, and the client's player channel.
struct Platform
{
    wintest::BoxWatcher errors;
    loopback::ChannelServer client{kRdpPlayerChannelName, 2};
    Platform()
    {
        g_Module.Init(GetModuleHandleW(nullptr));
        UseRdpSessionOps();
        SetLaunchOps(&kServerRunningOps);
        REQUIRE(client.Start());
    }
    ~Platform()
    {
        SetLaunchOps(nullptr);
        UsePlatformSessionOps();
    }
};

} // namespace

TEST_CASE("drops: none is refused, one is sent, of three the first only after the question")
{
    Platform platform;
    wintest::BoxWatcher &errors = platform.errors;
    loopback::ChannelServer &client = platform.client;
    {
        Window window;
        REQUIRE(window.hwnd.load());
        Opens(client, 700);   // what the window sends at its start

        PostMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({})), 0);
        // Windows counts an empty drop as none; Wine as one file without a
        // name. Either way the user is told and nothing is sent.
        CHECK(wintest::WaitUntil([&] {
            for (const auto &t : errors.Texts())
                if (t == L"Zero files dropped. Nothing to do." ||
                    t == L"Didn't get a name of the dropped file. Please try again.")
                    return true;
            return false;
        }, 5000));
        CHECK(wintest::WaitUntil([] { return !wintest::FindTopLevel(L"Error!"); }, 5000));
        CHECK(Opens(client, 1000).empty());

        PostMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({L"C:\\media\\one.avi"})), 0);
        CHECK(Opens(client, 1500) == std::vector<std::wstring>{L"C:\\media\\one.avi"});

        for (const int answer : {IDCANCEL, IDOK}) {
            const HDROP three = MakeDrop({L"C:\\media\\a.avi", L"C:\\media\\b.avi", L"C:\\media\\c.avi"});
            PostMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(three), 0);
            HWND question = wintest::WaitForTopLevel(L"Warning", 5000, GetCurrentProcessId());
            REQUIRE(question);
            CHECK(wintest::MessageBoxText(question) == L"Can't handle more than one dropped file. Process the first one?");
            wintest::PressButton(question, answer);
            CHECK(wintest::WaitUntil([&] { return !IsWindow(question); }, 5000));
            const auto opens = Opens(client, 1000);
            if (answer == IDOK)
                CHECK(opens == std::vector<std::wstring>{L"C:\\media\\a.avi"});
            else
                CHECK(opens.empty());
        }
        CHECK(wintest::ControlText(window.hwnd, IDC_FILE_NAME) == L"C:\\media\\a.avi");

        // A name longer than a message carries is refused, not cut short and
        // sent; one of 259 characters is sent whole.
        const std::wstring tooLong = L"C:\\media\\" + std::wstring(287, L'n') + L".avi";   // 300 characters
        const size_t boxesBefore = errors.Texts().size();
        PostMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({tooLong})), 0);
        CHECK(wintest::WaitUntil([&] {
            const auto texts = errors.Texts();
            return texts.size() > boxesBefore &&
                   texts.back() == L"Didn't get a name of the dropped file. Please try again.";
        }, 5000));
        CHECK(wintest::WaitUntil([] { return !wintest::FindTopLevel(L"Error!"); }, 5000));
        CHECK(Opens(client, 1000).empty());
        const std::wstring longest = L"C:\\media\\" + std::wstring(246, L'n') + L".avi";   // 259 characters
        PostMessageW(window.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({longest})), 0);
        CHECK(Opens(client, 1500) == std::vector<std::wstring>{longest});
    }
}

TEST_CASE("a change of scale with the system's rectangle: the window takes it; a value that is no rectangle is not read")
{
    Platform platform;
    wintest::BoxWatcher &errors = platform.errors;
    {
        Window window;
        REQUIRE(window.hwnd.load());
        RECT original{};
        GetWindowRect(window.hwnd, &original);
        static RECT suggested, back;
        suggested = {original.left + 10, original.top + 10, original.left + 10 + MulDiv(original.right - original.left, 3, 2),
                     original.top + 10 + MulDiv(original.bottom - original.top, 3, 2)};
        back = original;
        const auto at = [&](const RECT &want) {
            return wintest::WaitUntil([&] {
                RECT now{};
                GetWindowRect(window.hwnd, &now);
                return EqualRect(&now, &want) != FALSE;
            }, 3000);
        };
        PostMessageW(window.hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
        CHECK(at(suggested));
        // A value that points nowhere readable: not read, the window stays.
        PostMessageW(window.hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), 0x10);
        Sleep(300);
        CHECK(at(suggested));
        PostMessageW(window.hwnd, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&back));
        CHECK(at(original));
    }
    CHECK(errors.Texts().empty());
}
