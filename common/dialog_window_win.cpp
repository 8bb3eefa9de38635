#include "dialog_window_win.h"

CDialogWindow::~CDialogWindow()
{
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
}

HWND CDialogWindow::Create(HINSTANCE instance, UINT templateId, HWND parent)
{
    return CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId), parent, GetDialogProc(),
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialogWindow::StartDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CDialogWindow *self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogWindow *>(lParam);
        self->m_hWnd = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    } else {
        self = reinterpret_cast<CDialogWindow *>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (!self)
        return FALSE;
    LRESULT result = 0;
    const BOOL handled = self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        self->OnFinalMessage(hwnd);
    }
    if (!handled)
        return FALSE;
    if (msg == WM_INITDIALOG)
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void SetWindowIcons(HWND window, HINSTANCE instance, int id, CIcon &big, CIcon &small)
{
    big.Reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), 0)));
    small.Reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0)));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.Get()));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.Get()));
}
