// The player window: the user's remote control for the media player on the
// client device. It hands every wish of the user to g_PlayerCommands, tells
// the client where its video area lies on the screen, and shows the
// server's progress for its file. Decisions are made by the portable
// pieces (progress.h, video_area.h, command_line.h, layout.h); this file
// translates window messages into them and carries out their answers.
#pragma once

#include "command_line.h"
#include "layout.h"
#include "progress.h"
#include "video_area.h"
#include "dialog_window_win.h"
#include "handle_win.h"
#include "message_loop_win.h"
#include "session_notification_win.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

class CMainDlg final : public CDialogWindow, public CMessageFilter, public CIdleHandler
{
public:
    CMainDlg();
    ~CMainDlg() override;

    BOOL ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result) override;
    BOOL PreTranslateMessage(MSG *pMsg) override { return IsDialogMessageW(m_hWnd, pMsg); }
    BOOL OnIdle() override { return FALSE; }

    // The file to play from the program's command line (first word of 1 to
    // 259 characters); sent once the window runs.
    void TakeFileName(const wchar_t *commandLine);

    // The single way out: the window goes and WM_QUIT carries exitCode.
    void CloseDialog(int exitCode);

private:
    BOOL OnInitDialog();
    void InitLayout();
    void InitControls();
    void OnServerNotification(WPARAM wParam, LPARAM lParam);
    void OnDropFiles(HDROP drop);
    void OnCopyData(const COPYDATASTRUCT *data);
    // The session's connect and disconnect: after a reconnect the client
    // player is a fresh one, told where the play stood.
    void OnSessionChange(WPARAM code);
    void ResumeAfterReconnect();
    void OnActivate(WPARAM wParam);
    // WM_DPICHANGED: the window at another scale (a monitor or a client
    // with another scale): layout, smallest size and tool-bar images again.
    void OnDpiChanged(UINT dpi, const RECT *suggested);
    // Registers Alt+Enter for this window, or lets go of it.
    void HoldHotKey(bool hold);
    void OnHScroll(WPARAM wParam, HWND control);
    void OnCommand(UINT id);
    void OnVideoAreaCheck();
    // The tracker's commands for the video area's rectangle now.
    std::vector<AreaCommand> CheckVideoArea();
    void OnSize(UINT type, int width, int height);
    void OpenFileDialog();
    void Mute();
    void Unmute();
    // What the user was doing when the queue refused a file.
    enum BusyText : WPARAM { kBusyDrop, kBusyCommandLine, kBusyCommand, kBusyOpen, kBusyTextCount };
    // Queues the current file (with the volume after it); when the queue
    // refuses it, the box for `busy` is shown, or with `postBox` posted to
    // this window so that a sender waiting for this message is not held.
    void SendCurrentFile(BusyText busy, bool postBox = false);
    void ShowFileName();
    int VolumePosition() const;

    wchar_t m_szFileName[kFileNameUnits] = {};
    int m_nFileNameLength = 0;
    HWND m_hVolume = nullptr;
    HWND m_hPosition = nullptr;
    HWND m_hToolBar = nullptr;
    HWND m_hSizeGrip = nullptr;
    ATOM m_atomHotKey = 0;
    bool m_bHotKeyRegistered = false;
    CIcon m_hBigIcon;
    CIcon m_hSmallIcon;

    int m_nMutedVolume = 0;        // saved by mute; 0 = nothing saved
    bool m_bMuted = false;         // the last sound command was MUTE
    bool m_bPaused = false;        // the last play command was PAUSE
    int m_nSliderAtDisconnect = -1;   // the position slider then; -1: no disconnect seen
    CSessionNotification m_sessionNotification;
    int m_nLastVolumeSent = -1;    // by the volume slider; -1: none yet, so a first 0 is sent
    int m_nLastPositionSent = 0;   // by the position slider
    CProgressDisplay m_progress;
    CVideoAreaTracker m_videoArea;
    CLayoutRules m_layout;
    std::vector<HWND> m_vecLayoutChildren;   // by the layout rules' ids
    UINT m_uBaseDpi = 96;                    // the scale the layout was taken at
    POINT m_ptMinTrackSize = {};
    POINT m_ptBaseMinTrackSize = {};         // at m_uBaseDpi
    UINT m_uServerNotification = 0;
};
