#include "control_host.h"

#include "resource.h"

#include <atomic>

namespace {

CControlHost *g_pHost = nullptr;

} // namespace

CControlHost::CControlHost()
{
    g_pHost = this;
    m_hExit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> ready{false};
    m_uiThread = std::thread([this, &ready] {
        m_dwUiThreadId = GetCurrentThreadId();
        m_hDialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAINDLG), nullptr, DialogProc, 0);
        ready = true;
        RunDialogThread();
    });
    while (!ready)
        Sleep(1);
}

CControlHost::~CControlHost()
{
    Stop();
    PostThreadMessageW(m_dwUiThreadId, WM_QUIT, 0, 0);
    if (m_hDialog)
        PostMessageW(m_hDialog, WM_CLOSE, 0, 0);
    m_uiThread.join();
    CloseHandle(m_hExit);
    g_pHost = nullptr;
}

INT_PTR CALLBACK CControlHost::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == 3 && g_pHost)
            g_pHost->m_bStopCommand = true;
        return TRUE;
    case WM_CLOSE: DestroyWindow(hwnd); return TRUE;
    case WM_DESTROY: PostQuitMessage(0); return TRUE;
    default: return FALSE;
    }
}

void CControlHost::RunDialogThread()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!m_hDialog || !IsDialogMessageW(m_hDialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

bool CControlHost::Start()
{
    ResetEvent(m_hExit);
    m_bStopCommand = false;
    m_hThread = CreateThread(nullptr, 0, PyxControlThread, static_cast<CControlThreadOwner *>(this), 0, nullptr);
    return m_hThread != nullptr;
}

bool CControlHost::WaitEnded(DWORD timeoutMs)
{
    return !m_hThread || WaitForSingleObject(m_hThread, timeoutMs) == WAIT_OBJECT_0;
}

bool CControlHost::Stop(DWORD timeoutMs)
{
    if (!m_hThread)
        return true;
    SetEvent(m_hExit);
    const bool ended = WaitEnded(timeoutMs);
    if (ended) {
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    return ended;
}
