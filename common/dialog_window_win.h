// Modeless dialog window: the dialog procedure finds the object through
// DWLP_USER and hands every message to ProcessWindowMessage, its message map.
#pragma once

#include "handle_win.h"

#include <windows.h>

class CDialogWindow
{
public:
    // True when the message was handled; `result` is then the dialog's
    // answer (for WM_INITDIALOG: whether to set the default focus).
    virtual BOOL ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result) = 0;
    // Destroys the window if it still exists.
    virtual ~CDialogWindow();
    virtual DLGPROC GetDialogProc() const { return &CDialogWindow::StartDialogProc; }
    // After WM_NCDESTROY, when m_hWnd is null again.
    virtual void OnFinalMessage(HWND) {}

    // The window from dialog template `templateId`, or null.
    HWND Create(HINSTANCE instance, UINT templateId, HWND parent);
    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK StartDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

// Gives `window` its big and small icons, loaded from icon resource `id` at
// the system's two icon sizes; `big` and `small` own them and must outlive
// the window's use of them.
void SetWindowIcons(HWND window, HINSTANCE instance, int id, CIcon &big, CIcon &small);
