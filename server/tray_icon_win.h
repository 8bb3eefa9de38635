// The notification-area icon of PyxVideoServer: its shell data, its pop-up
// menu, and a window subclass that re-adds the icon when the task bar is
// re-created and removes it when the window goes away.
#pragma once

#include <windows.h>
#include <shellapi.h>

class CTrayNotifyIcon;

// Subclass of the notify window's top-level window. It looks at the
// messages that concern the icon's life and always passes them on.
class CTrayIconHooker
{
public:
    explicit CTrayIconHooker(CTrayNotifyIcon *owner) : m_pOwner(owner) {}
    virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual ~CTrayIconHooker();
    virtual WNDPROC GetWindowProc() const { return m_pfnPrevious; }
    virtual void OnFinalMessage(HWND) {}

    bool Subclass(HWND hwnd);
    void Unsubclass();
    HWND Window() const { return m_hWnd; }

private:
    static LRESULT CALLBACK HookProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    CTrayNotifyIcon *m_pOwner;
    HWND m_hWnd = nullptr;
    WNDPROC m_pfnPrevious = nullptr;
};

class CTrayNotifyIcon
{
public:
    CTrayNotifyIcon();
    virtual ~CTrayNotifyIcon();
    // False when the message is for another icon identifier.
    virtual BOOL HandleTrayCallback(WPARAM wParam, LPARAM lParam);

    CTrayNotifyIcon(const CTrayNotifyIcon &) = delete;
    CTrayNotifyIcon &operator=(const CTrayNotifyIcon &) = delete;

    BOOL AddTrayIcon(HWND notifyWindow, UINT iconId, const wchar_t *tooltip, HICON icon, UINT callbackMessage,
                     UINT menuId, bool show);
    void SetTrayDefaultItem(UINT item, bool byPosition);

    bool IsCreated() const { return m_bCreated; }
    int ShellVersionClass() const { return m_nShellVersionClass; }
    DWORD StructureSize() const { return m_nid.cbSize; }
    HMENU PopupMenu() const;

    // The registered "TaskbarCreated" message.
    static UINT TaskbarCreatedMessage();

private:
    friend class CTrayIconHooker;
    void OnTaskbarCreated();
    void OnDestroy();
    void Remove();

    NOTIFYICONDATAW m_nid;
    bool m_bCreated = false;
    bool m_bHidden = false;
    HWND m_hNotifyWnd = nullptr;
    CTrayIconHooker m_hooker;
    HMENU m_hMenu = nullptr;
    UINT m_nDefaultItem = 0;
    bool m_bDefaultByPos = true;
    int m_nShellVersionClass = 0;
};
