#include "main_dlg_win.h"

#include "resource.h"
#include "ica_share_win.h"
#include "session.h"
#include "settings_win.h"
#include "trace.h"
#include "center_window_win.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>

namespace {

constexpr DWORD kThreadStopWaitMs = 5000;
constexpr UINT kStopServerCommand = 3;

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        CenterOverOwner(hwnd);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hwnd, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

// --- CMainDlg ---------------------------------------------------------------

CMainDlg::CMainDlg() = default;

CMainDlg::~CMainDlg()
{
    // In this order, before the tray icon and the window go.
    m_hExitEvent.Reset();
    m_hControlThread.Reset();
    m_hBigIcon.Reset();
    m_hSmallIcon.Reset();
}

void CMainDlg::TakeCommandWord(const wchar_t *commandLine)
{
    const size_t length = commandLine ? wcslen(commandLine) : 0;
    if (length < 1 || length > 259)
        return;
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(commandLine, &argc);
    if (!argv) {
        PYX_TRACE(L"CommandLineToArgvW failed\n");
        return;
    }
    if (argc > 0 && argv[0]) {
        wcsncpy(m_szCommandWord, argv[0], 259);
        m_szCommandWord[259] = L'\0';
        m_nCommandWordLength = static_cast<int>(wcslen(m_szCommandWord));
    }
    LocalFree(argv);
}

bool CMainDlg::IsInstallMode() const { return m_nCommandWordLength && wcscmp(m_szCommandWord, L"install") == 0; }

bool CMainDlg::IsUninstallMode() const
{
    return m_nCommandWordLength && wcscmp(m_szCommandWord, L"uninstall") == 0;
}

BOOL CMainDlg::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result)
{
    switch (msg) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    case kTrayCallbackMessage:
        m_trayIcon.HandleTrayCallback(wParam, lParam);
        return TRUE;
    case WM_WTSSESSION_CHANGE:
        OnSessionChange(wParam);
        return TRUE;
    }
    return FALSE;
}

BOOL CMainDlg::OnInitDialog()
{
    CenterOverOwner(m_hWnd);

    HINSTANCE instance = g_Module.Instance();
    SetWindowIcons(m_hWnd, instance, IDI_PYXSERVER, m_hBigIcon, m_hSmallIcon);

    if (CMessageLoop *loop = g_Module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }

    m_hTrayIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_PYXSERVER), IMAGE_ICON, 16, 16, LR_SHARED | LR_LOADMAP3DCOLORS));
    m_trayIcon.AddTrayIcon(m_hWnd, 4, L"Tarsel Service", m_hTrayIcon, kTrayCallbackMessage, 0, true);
    m_trayIcon.SetTrayDefaultItem(ID_TRAY_SETTINGS, false);

    HWND combo = GetDlgItem(m_hWnd, IDC_ASX_PROCESSING);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Client"));
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Server"));
    SendMessageW(combo, CB_SETCURSEL, 0, 0);

    // Before the control thread starts: it reads the session functions too.
    m_sessionNotification.Register(m_hWnd);
    m_hExitEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hExitEvent)
        return FALSE;
    if (!StartControlThread())
        return FALSE;

    LoadSettingsFromDialog(m_hWnd);
    return TRUE;
}

void CMainDlg::OnCommand(UINT id)
{
    switch (id) {
    case IDOK:
        SaveSettingsFromDialog(m_hWnd);
        if (IsInstallMode())
            CloseDialog(0);
        else
            ShowWindow(m_hWnd, SW_HIDE);
        break;
    case IDCANCEL:
        LoadSettingsFromDialog(m_hWnd);
        if (IsInstallMode())
            CloseDialog(0);
        else
            ShowWindow(m_hWnd, SW_HIDE);
        break;
    case kStopServerCommand:
        CloseDialog(0);
        break;
    case IDC_KILL_CLIENTS:
        if (IsInstallMode()) {
            SaveSettingsFromDialog(m_hWnd);
            CloseDialog(0);
        } else {
            RestartControlThread(false);
        }
        break;
    case ID_TRAY_SETTINGS:
        ShowWindow(m_hWnd, SW_SHOW);
        break;
    case ID_TRAY_EXIT:
        CloseDialog(0);
        break;
    case ID_APP_ABOUT:
        ShowAbout();
        break;
    }
}

bool CMainDlg::StartControlThread()
{
    m_hControlThread.Reset(
        CreateThread(nullptr, 0, PyxControlThread, static_cast<CControlThreadOwner *>(this), 0, nullptr));
    return static_cast<bool>(m_hControlThread);
}

bool CMainDlg::WaitForControlThread()
{
    if (!m_hControlThread)
        return true;
    // Messages the control thread sends to the check boxes (a client policy
    // being applied) are carried out while waiting, so it is never stuck on
    // this thread until the time-out.
    const ULONGLONG deadline = GetTickCount64() + kThreadStopWaitMs;
    for (;;) {
        const HANDLE thread = m_hControlThread.Get();
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        const DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, static_cast<DWORD>(deadline - now),
                                                  QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r == WAIT_OBJECT_0 + 1) {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        if (r != WAIT_TIMEOUT)
            return WaitForSingleObject(m_hControlThread.Get(), 0) == WAIT_OBJECT_0;
    }
}

// A disconnect kills the session's channels; the control thread finds out
// on its own and waits. A connect brings a client with fresh channels
// (perhaps another device): the thread starts again and solicits it.
void CMainDlg::OnSessionChange(WPARAM code)
{
    switch (ClassifySessionChange(static_cast<uint32_t>(code))) {
    case SessionChange::Disconnect:
        PYX_TRACE(L"CMainDlg: the session disconnected (%d)\r\n", static_cast<int>(code));
        break;
    case SessionChange::Connect:
        PYX_TRACE(L"CMainDlg: the session connected (%d); restarting the control thread\r\n", static_cast<int>(code));
        if (!IsInstallMode())
            RestartControlThread(true);
        break;
    case SessionChange::Other:
        break;
    }
}

void CMainDlg::RestartControlThread(bool quiet)
{
    if (m_hExitEvent)
        SetEvent(m_hExitEvent.Get());
    if (!WaitForControlThread()) {
        PYX_TRACE(L" CMainDlg::CloseDialog: Failed killing thread.....\r\n");
        ShowErrorBox(L"Failed killing thread.....%s, %d", PYX_TRACE_WIDEN(__FILE__), __LINE__);
        return;
    }
    m_hControlThread.Reset();
    if (m_hExitEvent)
        ResetEvent(m_hExitEvent.Get());
    m_bQuietStart = quiet;
    const bool started = StartControlThread();
    if (!started)
        ShowErrorBox(L"Failed starting thread.....");
    else if (!quiet)
        ShowErrorBox(L"All clients disconnected. Server restarted.");
}

void CMainDlg::CloseDialog(int exitCode)
{
    m_sessionNotification.Unregister();
    if (m_hExitEvent)
        SetEvent(m_hExitEvent.Get());
    if (!WaitForControlThread()) {
        PYX_TRACE(L" CMainDlg::CloseDialog: Failed killing thread.....\r\n");
        // The thread keeps its own copies of the window handle and the exit
        // event and never reaches this object; the program ends without
        // running static destructors under it.
        m_bThreadAbandoned = true;
        NoteThreadGivenUp();
    }
    m_hExitEvent.Reset();
    m_hControlThread.Reset();
    CloseMainWindow(m_hWnd, this, this, exitCode);
}

void CMainDlg::RunUninstall()
{
    UninstallFromDialog(m_hWnd);
    CloseDialog(0);
}

void CMainDlg::ShowAbout()
{
    DialogBoxParamW(g_Module.Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), GetActiveWindow(), AboutProc, 0);
}
