#include "main_dlg_win.h"

#include "notify.h"
#include "player_commands_win.h"
#include "player_msg.h"
#include "resource.h"
#include "resume.h"
#include "session.h"
#include "toolbar_win.h"
#include "trace.h"
#include "center_window_win.h"
#include "kernel_names.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <cwchar>

namespace {

constexpr int kSizeGripId = 0xE900;

// Posted to the window itself: show the busy box of wParam.
constexpr UINT kShowBusyBoxMessage = WM_APP + 1;
constexpr const wchar_t *kBusyTexts[] = {
    L"Can't process a file drop. Application is busy.....",
    L"Can't process a new command line. Application is busy.....",
    L"Can't process a command. Application is busy.....",
    L"Can't open file. Application is busy.....",
};

// Tool-bar buttons that are one player command each.
struct ButtonCommand
{
    UINT id;
    uint32_t command;
};
#define BUTTON_COMMAND(NAME, ...) {ID_PLAYER_##NAME, PLAYER_CMD_##NAME},
constexpr ButtonCommand kButtonCommands[] = {
    PLAYER_COMMAND_TABLE(BUTTON_COMMAND, PLAYER_TABLE_SKIP, PLAYER_TABLE_SKIP, PLAYER_TABLE_SKIP)
};
#undef BUTTON_COMMAND

// Controls that follow the window as it is resized.
struct LayoutRow
{
    int id;
    unsigned flags;
};
constexpr LayoutRow kLayoutRows[] = {
    {IDC_FILE_NAME, LAYOUT_WIDTH},
    {IDC_VIDEO_AREA, LAYOUT_WIDTH | LAYOUT_HEIGHT},
    {IDC_POSITION, LAYOUT_WIDTH | LAYOUT_MOVE_DOWN},
    {IDC_STATUS, LAYOUT_WIDTH | LAYOUT_MOVE_DOWN},
    {kSizeGripId, LAYOUT_MOVE_DOWN | LAYOUT_MOVE_RIGHT},
};

// The window's scale in DPI (96 = 100 %): the platform's answer where it has
// one (Windows 10 and later), otherwise the screen's.
UINT WindowDpi(HWND window)
{
    using GetDpiForWindowFn = UINT(WINAPI *)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi) {
        if (const UINT dpi = getDpi(window))
            return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// WM_DPICHANGED's suggested window rectangle. The system sends the message
// from the window's own thread with a rectangle of this process; anyone in
// the session can send or post it too, with any value. So a rectangle is
// read only from readable memory of this process, never for a message sent
// from another thread, and only when it is a plausible window rectangle.
const RECT *SuggestedRect(LPARAM lParam)
{
    const auto *rect = reinterpret_cast<const RECT *>(lParam);
    if (!rect || InSendMessage())
        return nullptr;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(rect, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
        (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) ||
        !(info.Protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                          PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)))
        return nullptr;
    const auto *end = static_cast<const char *>(info.BaseAddress) + info.RegionSize;
    if (reinterpret_cast<const char *>(rect + 1) > end)
        return nullptr;
    const long width = rect->right - rect->left;
    const long height = rect->bottom - rect->top;
    return width > 0 && height > 0 && width < 32768 && height < 32768 ? rect : nullptr;
}

} // namespace

CMainDlg::CMainDlg() : m_uServerNotification(RegisterWindowMessageW(kServerNotificationName)) {}

CMainDlg::~CMainDlg() = default;

void CMainDlg::TakeFileName(const wchar_t *commandLine)
{
    TakeFileNameFromCommandLine(commandLine, commandLine ? wcslen(commandLine) : 0, m_szFileName, &m_nFileNameLength);
}

BOOL CMainDlg::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result)
{
    if (msg == m_uServerNotification && m_uServerNotification != 0) {
        OnServerNotification(wParam, lParam);
        return TRUE;
    }
    switch (msg) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return TRUE;
    case WM_COPYDATA:
        OnCopyData(reinterpret_cast<const COPYDATASTRUCT *>(lParam));
        result = 0;
        return TRUE;
    case kShowBusyBoxMessage:
        if (wParam < kBusyTextCount)
            ShowErrorBox(L"%s", kBusyTexts[wParam]);
        return TRUE;
    case WM_WTSSESSION_CHANGE:
        OnSessionChange(wParam);
        return TRUE;
    case WM_HOTKEY:
        g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_FULL_SCREEN);
        return TRUE;
    case WM_ACTIVATE:
        OnActivate(wParam);
        return TRUE;
    case WM_HSCROLL:
        OnHScroll(wParam, reinterpret_cast<HWND>(lParam));
        return TRUE;
    case WM_WINDOWPOSCHANGED:
        // The video area is looked at once the move or resize is done.
        PostMessageW(m_hWnd, WM_COMMAND, IDC_VIDEO_CHECK, 0);
        return FALSE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_SIZE:
        OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
        return FALSE;
    case WM_DPICHANGED:
        OnDpiChanged(LOWORD(wParam), SuggestedRect(lParam));
        return TRUE;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO *>(lParam)->ptMinTrackSize = m_ptMinTrackSize;
        return TRUE;
    case WM_NOTIFY:
        return AnswerToolTip(lParam, g_Module.Instance());
    }
    return FALSE;
}

BOOL CMainDlg::OnInitDialog()
{
    InitLayout();
    CenterOverOwner(m_hWnd);

    const HINSTANCE instance = g_Module.Instance();
    SetWindowIcons(m_hWnd, instance, IDI_PLAYER, m_hBigIcon, m_hSmallIcon);
    SetWindowTextW(m_hWnd, kPlayerWindowTitle);
    m_hToolBar = CreateToolBarFromResource(
        m_hWnd, instance, IDR_TOOLBAR,
        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | CCS_TOP | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT,
        ID_TOOLBAR_WINDOW);
    if (m_hToolBar && m_uBaseDpi != 96)
        SetToolBarImagesForDpi(m_hToolBar, instance, m_uBaseDpi);   // made on a scaled monitor
    InitControls();
    DragAcceptFiles(m_hWnd, TRUE);
    if (CMessageLoop *loop = g_Module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    SetErrorBoxOwner(m_hWnd);
    // Before the thread starts: it reads the session functions too.
    m_sessionNotification.Register(m_hWnd);

    if (g_PlayerCommands.StartPlayerControl() != 0)
        return FALSE;
    if (m_nFileNameLength) {
        ShowFileName();
        PostMessageW(m_hWnd, WM_COMMAND, IDOK, 0);
    }
    // Alt+Enter is the session's hot key: it is held only while this window
    // is the active one (see OnActivate), so that Alt+Enter in another
    // program never reaches the client player.
    m_atomHotKey = GlobalAddAtomW(L"Full screen hotkey");
    if (GetActiveWindow() == m_hWnd)
        HoldHotKey(true);
    return TRUE;
}

void CMainDlg::InitLayout()
{
    // The size the window was made at is the smallest it can be made.
    RECT window{};
    GetWindowRect(m_hWnd, &window);
    m_ptMinTrackSize = {window.right - window.left, window.bottom - window.top};
    m_ptBaseMinTrackSize = m_ptMinTrackSize;
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, GetWindowLongPtrW(m_hWnd, GWL_STYLE) | WS_CLIPCHILDREN);
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE) | WS_EX_DLGMODALFRAME);

    RECT client{};
    GetClientRect(m_hWnd, &client);
    const int grip = GetSystemMetrics(SM_CXVSCROLL);
    m_hSizeGrip = CreateWindowExW(0, L"SCROLLBAR", nullptr,
                                  WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SBS_SIZEGRIP | SBS_SIZEBOXBOTTOMRIGHTALIGN,
                                  client.right - grip, client.bottom - grip, grip, grip, m_hWnd,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(kSizeGripId)), g_Module.Instance(),
                                  nullptr);
    m_layout.SetInitialClientSize(client.right, client.bottom);
    m_uBaseDpi = WindowDpi(m_hWnd);
    m_layout.SetBaseDpi(m_uBaseDpi);
    // Every child has a rule (those not listed stay where they are), so
    // that at another scale each one is placed again; a rule's id is the
    // child's index in m_vecLayoutChildren (a label has no id of its own).
    for (HWND control = GetWindow(m_hWnd, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        RECT rc{};
        if (!GetWindowRect(control, &rc))
            continue;
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT *>(&rc), 2);
        unsigned flags = 0;
        for (const LayoutRow &row : kLayoutRows)
            flags = row.id == GetDlgCtrlID(control) ? row.flags : flags;
        m_layout.Add(static_cast<int>(m_vecLayoutChildren.size()), flags, {rc.left, rc.top, rc.right, rc.bottom});
        m_vecLayoutChildren.push_back(control);
    }
}

void CMainDlg::OnDpiChanged(UINT dpi, const RECT *suggested)
{
    if (dpi == 0)
        return;
    // The layout, the smallest size and the tool bar at the new scale; the
    // window takes the place and size the system suggests, and everything
    // is placed again by the rules (also when that size did not change).
    m_layout.ScaleTo(dpi);
    m_ptMinTrackSize = {m_layout.Scaled(m_ptBaseMinTrackSize.x), m_layout.Scaled(m_ptBaseMinTrackSize.y)};
    if (m_hToolBar)
        SetToolBarImagesForDpi(m_hToolBar, g_Module.Instance(), dpi);
    if (suggested)
        SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{};
    GetClientRect(m_hWnd, &client);
    OnSize(IsZoomed(m_hWnd) ? SIZE_MAXIMIZED : SIZE_RESTORED, client.right, client.bottom);
}

void CMainDlg::InitControls()
{
    m_hVolume = GetDlgItem(m_hWnd, IDC_VOLUME);
    m_hPosition = GetDlgItem(m_hWnd, IDC_POSITION);
    SendMessageW(m_hVolume, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
    SendMessageW(m_hVolume, TBM_SETPOS, TRUE, 100);
    SendMessageW(m_hPosition, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
    SendMessageW(m_hPosition, TBM_SETPAGESIZE, 0, 2);
    SendMessageW(m_hPosition, TBM_SETPOS, TRUE, 0);
}

void CMainDlg::OnServerNotification(WPARAM wParam, LPARAM lParam)
{
    // A disconnect ends the server's file too, and its close resets the
    // slider, perhaps before the disconnect reaches this window: the
    // position the play resumes at is taken first.
    if (NotifyCodeOf(static_cast<uint32_t>(wParam)) == NOTIFY_FILE_CLOSED && m_nSliderAtDisconnect < 0 &&
        !IsSessionConnected())
        m_nSliderAtDisconnect = static_cast<int>(SendMessageW(m_hPosition, TBM_GETPOS, 0, 0));
    const ProgressUpdate u = m_progress.OnNotification(g_PlayerCommands.GetFileChecksum(),
                                                       static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
    if (u.setSlider)
        SendMessageW(m_hPosition, TBM_SETPOS, TRUE, static_cast<LPARAM>(u.slider));
    if (u.setStatus)
        SetDlgItemTextW(m_hWnd, IDC_STATUS, u.status.c_str());
}

void CMainDlg::OnDropFiles(HDROP drop)
{
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    if (count == 0) {
        ShowErrorBox(L"Zero files dropped. Nothing to do.");
    } else if (count == 1 || MessageBoxW(m_hWnd, L"Can't handle more than one dropped file. Process the first one?",
                                         L"Warning", MB_OKCANCEL) == IDOK) {
        // A name longer than the 259 characters a message carries is
        // refused, not cut short and sent as the name of another file.
        const UINT needed = DragQueryFileW(drop, 0, nullptr, 0);
        const UINT length =
            needed > 0 && needed < kFileNameUnits ? DragQueryFileW(drop, 0, m_szFileName, kFileNameUnits) : 0;
        m_nFileNameLength = static_cast<int>(length < kFileNameUnits ? length : 0);
        m_szFileName[m_nFileNameLength] = L'\0';
        if (m_nFileNameLength == 0) {
            ShowErrorBox(L"Didn't get a name of the dropped file. Please try again.");
        } else {
            ShowFileName();
            SendCurrentFile(kBusyDrop);
        }
    }
    DragFinish(drop);
}

void CMainDlg::OnCopyData(const COPYDATASTRUCT *data)
{
    if (data) {
        const std::wstring text = CopyDataText(data->lpData, data->cbData);
        if (!text.empty() && TakeFileNameFromCommandLine(text.c_str(), text.size(), m_szFileName, &m_nFileNameLength))
            ShowFileName();
    }
    // The second start waits for this message: a box would hold it.
    SendCurrentFile(kBusyCommandLine, true);
}

void CMainDlg::OnSessionChange(WPARAM code)
{
    switch (ClassifySessionChange(static_cast<uint32_t>(code))) {
    case SessionChange::Disconnect:
        // The slider shows where the play stood, unless the server's close
        // of the file came first (then it was taken then); what comes later
        // must not move the resume.
        if (m_nSliderAtDisconnect < 0)
            m_nSliderAtDisconnect = static_cast<int>(SendMessageW(m_hPosition, TBM_GETPOS, 0, 0));
        PYX_TRACE(L"CMainDlg: the session disconnected (%d) at %d %%\r\n", static_cast<int>(code),
                  m_nSliderAtDisconnect);
        break;
    case SessionChange::Connect:
        PYX_TRACE(L"CMainDlg: the session connected (%d)\r\n", static_cast<int>(code));
        ResumeAfterReconnect();
        break;
    case SessionChange::Other:
        break;
    }
}

void CMainDlg::ResumeAfterReconnect()
{
    PlayerResumeState state;
    if (m_nFileNameLength)
        state.file = reinterpret_cast<const WireChar *>(m_szFileName);
    state.sliderPercent = m_nSliderAtDisconnect >= 0 ? m_nSliderAtDisconnect
                                                     : static_cast<int>(SendMessageW(m_hPosition, TBM_GETPOS, 0, 0));
    state.volume = VolumePosition();
    state.muted = m_bMuted;
    state.paused = m_bPaused;
    m_videoArea.Forget();
    state.area = CheckVideoArea();
    m_nSliderAtDisconnect = -1;
    if (state.file) {
        m_nLastPositionSent = state.sliderPercent;
        m_progress.OnSeekSent();
        // The slider shows where the play goes on (the close at the
        // disconnect reset it), and the new open leaves it there.
        m_progress.OnResume(static_cast<uint32_t>(state.sliderPercent));
        SendMessageW(m_hPosition, TBM_SETPOS, TRUE, state.sliderPercent);
    }
    PYX_TRACE(L"CMainDlg: resuming at %d %%, volume %d%s%s\r\n", state.sliderPercent, state.volume,
              state.muted ? L", muted" : L"", state.paused ? L", paused" : L"");
    // A fresh thread and channel; these commands go first.
    g_PlayerCommands.StartPlayerControl(BuildResumeCommands(state));
}

void CMainDlg::OnActivate(WPARAM wParam)
{
    HoldHotKey(LOWORD(wParam) != WA_INACTIVE);
    if (LOWORD(wParam) != WA_INACTIVE)
        g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_ACTIVATE, 1);
    else if (HIWORD(wParam) == 0)
        g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_ACTIVATE, 120);
}

void CMainDlg::OnHScroll(WPARAM wParam, HWND control)
{
    const UINT code = LOWORD(wParam);
    const int value = (code == TB_THUMBPOSITION || code == TB_THUMBTRACK)
                          ? static_cast<short>(HIWORD(wParam))
                          : static_cast<int>(SendMessageW(control, TBM_GETPOS, 0, 0));
    if (control == m_hVolume) {
        if (value != m_nLastVolumeSent) {
            m_nLastVolumeSent = value;
            m_bMuted = false;
            g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_VOLUME, value);
        }
    } else if (control == m_hPosition) {
        if (value != m_nLastPositionSent) {
            m_nLastPositionSent = value;
            g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_SEEK, value);
            m_progress.OnSeekSent();
        }
    }
}

void CMainDlg::OnCommand(UINT id)
{
    if (id == ID_PLAYER_PAUSE || id == ID_PLAYER_PLAY || id == ID_PLAYER_STOP)
        m_bPaused = id == ID_PLAYER_PAUSE;
    for (const ButtonCommand &b : kButtonCommands) {
        if (b.id == id) {
            g_PlayerCommands.QueuePlayerCommand(b.command);
            return;
        }
    }
    switch (id) {
    case IDC_VIDEO_CHECK:
        OnVideoAreaCheck();
        break;
    case IDOK:
        SendCurrentFile(kBusyCommand);
        break;
    case IDCANCEL:
    case ID_APP_EXIT:
        CloseDialog(static_cast<int>(id));
        break;
    case ID_FILE_PLAY:
        OpenFileDialog();
        break;
    case ID_PLAYER_MUTE:
        Mute();
        break;
    case ID_PLAYER_SOUND_ON:
        Unmute();
        break;
    }
}

std::vector<AreaCommand> CMainDlg::CheckVideoArea()
{
    RECT rc{};
    HWND area = GetDlgItem(m_hWnd, IDC_VIDEO_AREA);
    if (!area || !GetWindowRect(area, &rc))
        return {};
    std::vector<AreaCommand> commands = m_videoArea.Check({rc.left, rc.top, rc.right, rc.bottom},
                                                          IsIconic(m_hWnd) != FALSE, GetSystemMetrics(SM_XVIRTUALSCREEN));
    for (const AreaCommand &c : commands)
        PYX_TRACE(L"%s", c.log.c_str());
    return commands;
}

void CMainDlg::OnVideoAreaCheck()
{
    for (const AreaCommand &c : CheckVideoArea())
        g_PlayerCommands.QueuePlayerCommand(c.code, c.p1, c.p2, c.p3, c.p4);
}

void CMainDlg::OnSize(UINT type, int width, int height)
{
    if (type == SIZE_MINIMIZED)
        return;
    if (m_hToolBar)
        SendMessageW(m_hToolBar, TB_AUTOSIZE, 0, 0);
    if (m_hSizeGrip)
        ShowWindow(m_hSizeGrip, type == SIZE_MAXIMIZED ? SW_HIDE : SW_SHOW);
    // One redraw for the whole change.
    SendMessageW(m_hWnd, WM_SETREDRAW, FALSE, 0);
    for (const CLayoutRules::Item &item : m_layout.Arrange(width, height)) {
        HWND control = m_vecLayoutChildren[static_cast<size_t>(item.id)];
        const AreaRect &r = item.initial;
        SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SendMessageW(m_hWnd, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void CMainDlg::OpenFileDialog()
{
    wchar_t chosen[kFileNameUnits] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = GetActiveWindow();
    ofn.lpstrFile = chosen;
    ofn.nMaxFile = kFileNameUnits;
    ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&ofn))
        return;
    wcsncpy(m_szFileName, chosen, kFileNameUnits - 1);
    m_szFileName[kFileNameUnits - 1] = L'\0';
    m_nFileNameLength = static_cast<int>(wcslen(m_szFileName));
    ShowFileName();
    SendCurrentFile(kBusyOpen);
}

void CMainDlg::Mute()
{
    m_bMuted = true;
    if (m_nMutedVolume == 0)
        m_nMutedVolume = VolumePosition();
    g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_MUTE);
    SendMessageW(m_hVolume, TBM_SETPOS, TRUE, 0);
}

void CMainDlg::Unmute()
{
    m_bMuted = false;
    if (VolumePosition() == 0 && m_nMutedVolume != 0) {
        SendMessageW(m_hVolume, TBM_SETPOS, TRUE, m_nMutedVolume);
        m_nMutedVolume = 0;
    }
    g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_VOLUME, VolumePosition());
}

int CMainDlg::VolumePosition() const { return static_cast<int>(SendMessageW(m_hVolume, TBM_GETPOS, 0, 0)); }

void CMainDlg::SendCurrentFile(BusyText busy, bool postBox)
{
    if (m_nFileNameLength == 0)
        return;
    if (g_PlayerCommands.QueueOpenFile(m_szFileName) != 0) {
        if (postBox)
            PostMessageW(m_hWnd, kShowBusyBoxMessage, busy, 0);
        else
            ShowErrorBox(L"%s", kBusyTexts[busy]);
    } else {
        m_bPaused = false;   // a new open plays
    }
    g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_VOLUME, VolumePosition());
}

void CMainDlg::ShowFileName() { SetDlgItemTextW(m_hWnd, IDC_FILE_NAME, m_szFileName); }

void CMainDlg::HoldHotKey(bool hold)
{
    if (hold && !m_bHotKeyRegistered && m_atomHotKey)
        m_bHotKeyRegistered = RegisterHotKey(m_hWnd, m_atomHotKey, MOD_ALT, VK_RETURN) != FALSE;
    else if (!hold && m_bHotKeyRegistered) {
        UnregisterHotKey(m_hWnd, m_atomHotKey);
        m_bHotKeyRegistered = false;
    }
}

void CMainDlg::CloseDialog(int exitCode)
{
    m_sessionNotification.Unregister();
    HoldHotKey(false);
    if (m_atomHotKey)
        GlobalDeleteAtom(m_atomHotKey);
    m_atomHotKey = 0;
    g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_CLOSE);
    g_PlayerCommands.StopPlayerControl();
    SetErrorBoxOwner(nullptr);
    CloseMainWindow(m_hWnd, this, this, exitCode);
}
