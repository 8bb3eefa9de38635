#include "tray_icon_win.h"

#include <cwchar>

#include <shlwapi.h>

namespace {

const wchar_t kHookerProp[] = L"Tarsel.TrayIconHooker";

// Registered once, at program start.
const UINT g_uTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

int DetectShellVersionClass()
{
    OSVERSIONINFOW vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (GetVersionExW(&vi) && vi.dwMajorVersion >= 6)
        return 3;
#pragma GCC diagnostic pop
    HMODULE shell = GetModuleHandleW(L"SHELL32.DLL");
    if (!shell)
        return 0;
    using DllGetVersionFn = HRESULT(CALLBACK *)(DLLVERSIONINFO *);
    auto fn = reinterpret_cast<DllGetVersionFn>(reinterpret_cast<void *>(GetProcAddress(shell, "DllGetVersion")));
    if (!fn)
        return 0;
    DLLVERSIONINFO dvi{};
    dvi.cbSize = sizeof dvi;
    if (FAILED(fn(&dvi)))
        return 0;
    if (dvi.dwMajorVersion >= 6)
        return 2;
    if (dvi.dwMajorVersion == 5)
        return 1;
    return 0;
}

DWORD StructureSizeFor(int versionClass)
{
    switch (versionClass) {
    case 3: return sizeof(NOTIFYICONDATAW);
    case 2: return NOTIFYICONDATAW_V3_SIZE;
    case 1: return NOTIFYICONDATAW_V2_SIZE;
    default: return NOTIFYICONDATAW_V1_SIZE;
    }
}

#ifndef _WIN64
static_assert(sizeof(NOTIFYICONDATAW) == 956);
static_assert(NOTIFYICONDATAW_V3_SIZE == 952);
static_assert(NOTIFYICONDATAW_V2_SIZE == 936);
static_assert(NOTIFYICONDATAW_V1_SIZE == 152);
#endif

HWND TopLevelOf(HWND hwnd)
{
    for (;;) {
        HWND up = GetParent(hwnd);   // parent, or owner of a top-level window
        if (!up)
            return hwnd;
        hwnd = up;
    }
}

} // namespace

// --- CTrayIconHooker --------------------------------------------------------

CTrayIconHooker::~CTrayIconHooker() { Unsubclass(); }

bool CTrayIconHooker::Subclass(HWND hwnd)
{
    if (m_hWnd)
        return m_hWnd == hwnd;
    if (!SetPropW(hwnd, kHookerProp, this))
        return false;
    m_pfnPrevious = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CTrayIconHooker::HookProc)));
    if (!m_pfnPrevious) {
        RemovePropW(hwnd, kHookerProp);
        return false;
    }
    m_hWnd = hwnd;
    return true;
}

void CTrayIconHooker::Unsubclass()
{
    if (!m_hWnd)
        return;
    // Only restore the procedure if nobody subclassed the window after us.
    if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC)) == &CTrayIconHooker::HookProc)
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnPrevious));
    RemovePropW(m_hWnd, kHookerProp);
    m_hWnd = nullptr;
}

LRESULT CTrayIconHooker::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == g_uTaskbarCreated && g_uTaskbarCreated != 0)
        m_pOwner->OnTaskbarCreated();
    else if (msg == WM_DESTROY)
        m_pOwner->OnDestroy();

    HWND hwnd = m_hWnd;
    WNDPROC previous = m_pfnPrevious;
    if (msg == WM_NCDESTROY) {
        Unsubclass();
        OnFinalMessage(hwnd);
    }
    return CallWindowProcW(previous, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK CTrayIconHooker::HookProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto *self = static_cast<CTrayIconHooker *>(GetPropW(hwnd, kHookerProp));
    if (!self)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    return self->HandleMessage(msg, wParam, lParam);
}

// --- CTrayNotifyIcon --------------------------------------------------------

CTrayNotifyIcon::CTrayNotifyIcon() : m_hooker(this)
{
    m_nShellVersionClass = DetectShellVersionClass();
    ZeroMemory(&m_nid, sizeof m_nid);
    m_nid.cbSize = StructureSizeFor(m_nShellVersionClass);
}

CTrayNotifyIcon::~CTrayNotifyIcon()
{
    Remove();
    if (m_hMenu)
        DestroyMenu(m_hMenu);
}

UINT CTrayNotifyIcon::TaskbarCreatedMessage() { return g_uTaskbarCreated; }

HMENU CTrayNotifyIcon::PopupMenu() const { return m_hMenu ? GetSubMenu(m_hMenu, 0) : nullptr; }

BOOL CTrayNotifyIcon::AddTrayIcon(HWND notifyWindow, UINT iconId, const wchar_t *tooltip, HICON icon,
                                  UINT callbackMessage, UINT menuId, bool show)
{
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(menuId ? menuId : iconId));
    if (!menu)
        return FALSE;
    HMENU popup = GetSubMenu(menu, 0);
    if (!popup || !IsMenu(popup)) {
        DestroyMenu(menu);
        return FALSE;
    }
    if (m_hMenu)
        DestroyMenu(m_hMenu);
    m_hMenu = menu;
    SetMenuDefaultItem(popup, m_nDefaultItem, m_bDefaultByPos ? TRUE : FALSE);

    m_hNotifyWnd = notifyWindow;
    if (!m_hooker.Subclass(TopLevelOf(notifyWindow)))
        return FALSE;

    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.hWnd = notifyWindow;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.uID = iconId;
    m_nid.hIcon = icon;
    wcsncpy(m_nid.szTip, tooltip ? tooltip : L"", ARRAYSIZE(m_nid.szTip) - 1);
    m_nid.szTip[ARRAYSIZE(m_nid.szTip) - 1] = L'\0';
    if (!show) {
        m_nid.uFlags |= NIF_STATE;
        m_nid.dwState = NIS_HIDDEN;
        m_nid.dwStateMask = NIS_HIDDEN;
    }

    m_bCreated = Shell_NotifyIconW(NIM_ADD, &m_nid) != FALSE;
    if (m_bCreated) {
        if (!show)
            m_bHidden = true;
        if (m_nShellVersionClass > 0) {
            m_nid.uVersion = NOTIFYICON_VERSION;
            Shell_NotifyIconW(NIM_SETVERSION, &m_nid);
        }
    }
    return m_bCreated ? TRUE : FALSE;
}

void CTrayNotifyIcon::SetTrayDefaultItem(UINT item, bool byPosition)
{
    m_nDefaultItem = item;
    m_bDefaultByPos = byPosition;
    if (HMENU popup = PopupMenu())
        SetMenuDefaultItem(popup, item, byPosition ? TRUE : FALSE);
}

BOOL CTrayNotifyIcon::HandleTrayCallback(WPARAM wParam, LPARAM lParam)
{
    if (wParam != m_nid.uID)
        return FALSE;
    const UINT mouse = LOWORD(lParam);
    HMENU popup = PopupMenu();
    if (mouse == WM_RBUTTONUP) {
        POINT pt{};
        GetCursorPos(&pt);
        SetForegroundWindow(m_hNotifyWnd);
        if (popup)
            TrackPopupMenu(popup, TPM_LEFTBUTTON, pt.x, pt.y, 0, m_hNotifyWnd, nullptr);
        PostMessageW(m_hNotifyWnd, WM_NULL, 0, 0);
    } else if (mouse == WM_LBUTTONDBLCLK) {
        SetForegroundWindow(m_hNotifyWnd);
        if (popup) {
            const UINT item = GetMenuDefaultItem(popup, FALSE, GMDI_GOINTOPOPUPS);
            if (item != static_cast<UINT>(-1))
                SendMessageW(m_hNotifyWnd, WM_COMMAND, item, 0);
        }
    }
    return TRUE;
}

void CTrayNotifyIcon::OnTaskbarCreated()
{
    if (m_bCreated) {
        Shell_NotifyIconW(NIM_DELETE, &m_nid);
        m_bCreated = false;
    }
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (m_bHidden) {
        m_nid.uFlags |= NIF_STATE;
        m_nid.dwState = NIS_HIDDEN;
        m_nid.dwStateMask = NIS_HIDDEN;
    }
    m_bCreated = Shell_NotifyIconW(NIM_ADD, &m_nid) != FALSE;
}

void CTrayNotifyIcon::OnDestroy() { Remove(); }

void CTrayNotifyIcon::Remove()
{
    if (m_bCreated) {
        Shell_NotifyIconW(NIM_DELETE, &m_nid);
        m_bCreated = false;
    }
}
