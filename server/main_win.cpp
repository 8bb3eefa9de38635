// PyxVideoServer: one per session, hidden, reached through its tray icon.
#include "main_dlg_win.h"
#include "resource.h"
#include "ica_share_win.h"
#include "trace.h"
#include "instance_marker_win.h"
#include "kernel_names.h"
#include "session_notification_win.h"

#include <commctrl.h>
#include <objbase.h>

namespace {

bool g_bThreadAbandoned = false;

int Run(const wchar_t *commandLine, int showCommand)
{
    CMessageLoop loop;
    g_Module.AddMessageLoop(&loop);

    CMainDlg dlg;
    if (commandLine && *commandLine)
        dlg.TakeCommandWord(commandLine);
    if (!dlg.Create(g_Module.Instance(), IDD_MAINDLG, nullptr)) {
        g_Module.RemoveMessageLoop();
        return 0;
    }
    if (dlg.IsInstallMode()) {
        ShowWindow(dlg.m_hWnd, SW_SHOW);
    } else {
        ShowWindow(dlg.m_hWnd, showCommand);
        if (dlg.IsUninstallMode())
            dlg.RunUninstall();
    }
    const int result = loop.Run();
    g_Module.RemoveMessageLoop();
    g_bThreadAbandoned = dlg.ThreadAbandoned();
    return result;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    g_Module.Init(instance);
    InitServerGlobals();
    GateErrorBoxesOnSession();

    MarkerState markerState = MarkerState::Failed;
    CHandle marker = CreateInstanceMarker(kServerInstanceMarkerName, &markerState);
    if (markerState == MarkerState::Failed) {
        ShowErrorBox(L"Failed to create a global event (_tWinMain)");
    } else if (markerState == MarkerState::Created) {
        Run(commandLine, SW_HIDE);
    }
    marker.Reset();
    g_Module.Term();
    CoUninitialize();
    if (g_bThreadAbandoned || AnyThreadGivenUp()) {
        // A thread given up still runs: no static destructor (library
        // unload, stream table, locks) may run under it.
        PYX_TRACE(L"PyxVideoServer: a thread was given up; ending without static destruction\r\n");
        ExitProcess(0);
    }
    return 0;
}
