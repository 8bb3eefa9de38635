// PyxUserInterface: one player window per session. A second start hands
// its command line to the running player's window and ends.
#include "main_dlg_win.h"
#include "resource.h"
#include "trace.h"
#include "instance_marker_win.h"
#include "kernel_names.h"
#include "session_notification_win.h"

#include <commctrl.h>
#include <objbase.h>

#include <cwchar>

namespace {

// A player that does not answer must not hold a second start for ever.
constexpr UINT kHandOffTimeoutMs = 5000;

int Run(const wchar_t *commandLine, int showCommand)
{
    CMessageLoop loop;
    g_Module.AddMessageLoop(&loop);
    int result = 0;
    {
        CMainDlg dlg;
        if (commandLine && *commandLine)
            dlg.TakeFileName(commandLine);
        if (dlg.Create(g_Module.Instance(), IDD_MAINDLG, nullptr)) {
            ShowWindow(dlg.m_hWnd, showCommand);
            result = loop.Run();
        }
    }
    g_Module.RemoveMessageLoop();
    return result;
}

// Gives the running player this start's command line, synchronously: it
// has queued the file (or refused it) when the call returns.
void HandOff(const wchar_t *commandLine)
{
    HWND player = FindWindowW(nullptr, kPlayerWindowTitle);
    if (player) {
        const wchar_t *text = commandLine ? commandLine : L"";
        COPYDATASTRUCT record{};
        record.dwData = 0;
        record.cbData = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
        record.lpData = const_cast<wchar_t *>(text);
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(player, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record),
                                SMTO_ABORTIFHUNG | SMTO_BLOCK, kHandOffTimeoutMs, &answer))
            return;
        PYX_TRACE(L"The running player did not take the command line within %d ms (%d)\r\n", kHandOffTimeoutMs,
                  GetLastError());
    }
    ShowErrorBox(L"Failed to pass a new file to the player.");
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int showCommand)
{
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    g_Module.Init(instance);
    GateErrorBoxesOnSession();

    int exitCode = 0;
    MarkerState state = MarkerState::Failed;
    CHandle marker = CreateInstanceMarker(kPlayerInstanceMarkerName, &state);
    switch (state) {
    case MarkerState::Failed:
        MessageBoxW(nullptr, L"Failed to create a global event", L"Error!", MB_OK);
        break;
    case MarkerState::AlreadyExists:
        HandOff(commandLine);
        break;
    case MarkerState::Created:
        exitCode = Run(commandLine, showCommand);
        break;
    }
    g_Module.Term();
    CoUninitialize();
    marker.Reset();
    return exitCode;
}
