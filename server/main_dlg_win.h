// The hidden main dialog of PyxVideoServer: it owns the tray icon and the
// settings check boxes, and starts, restarts and stops the control thread.
#pragma once

#include "control_thread_win.h"
#include "tray_icon_win.h"
#include "dialog_window_win.h"
#include "handle_win.h"
#include "message_loop_win.h"
#include "session_notification_win.h"

#include <windows.h>

class CMainDlg final : public CDialogWindow, public CMessageFilter, public CIdleHandler, public CControlThreadOwner
{
public:
    static constexpr UINT kTrayCallbackMessage = WM_USER + 100;   // 1124

    CMainDlg();
    ~CMainDlg() override;

    BOOL ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result) override;
    BOOL PreTranslateMessage(MSG *pMsg) override { return IsDialogMessageW(m_hWnd, pMsg); }
    BOOL OnIdle() override { return FALSE; }

    HWND GetControlWindow() const override { return m_hWnd; }
    HANDLE GetExitEvent() const override { return m_hExitEvent.Get(); }
    bool IsQuietStart() const override { return m_bQuietStart; }

    // Takes the first word of a command line of 1 to 259 characters.
    void TakeCommandWord(const wchar_t *commandLine);
    bool IsInstallMode() const;
    bool IsUninstallMode() const;

    // The single way out of the program.
    void CloseDialog(int exitCode);
    void RunUninstall();
    // True when a control thread did not end in time and still runs.
    bool ThreadAbandoned() const { return m_bThreadAbandoned; }

private:
    BOOL OnInitDialog();
    void OnCommand(UINT id);
    // Ends the control thread and starts it again: on "Kill Clients" with
    // its box, on the session's connect without (quiet).
    void RestartControlThread(bool quiet);
    void OnSessionChange(WPARAM code);
    bool StartControlThread();
    // Waits for the control thread at most 5000 ms; true when it ended.
    bool WaitForControlThread();
    void ShowAbout();

    wchar_t m_szCommandWord[260] = {};
    int m_nCommandWordLength = 0;
    CHandle m_hExitEvent;
    CHandle m_hControlThread;
    bool m_bThreadAbandoned = false;
    bool m_bQuietStart = false;   // read by the thread at its start
    CSessionNotification m_sessionNotification;
    CTrayNotifyIcon m_trayIcon;
    HICON m_hTrayIcon = nullptr;   // shared (LR_SHARED): never destroyed
    CIcon m_hBigIcon;
    CIcon m_hSmallIcon;
};
