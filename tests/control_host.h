// Runs the server's control thread inside a test, as the program's main
// dialog does: a hidden settings dialog (template 129) on a thread of its
// own with a message loop, and the exit event. WM_COMMAND 3 from the thread
// is recorded instead of ending a program.
#pragma once

#include "control_thread_win.h"
#include "session_fakes.h"

#include <windows.h>

#include <atomic>
#include <thread>

class CControlHost : public CControlThreadOwner
{
public:
    CControlHost();
    ~CControlHost();
    CControlHost(const CControlHost &) = delete;
    CControlHost &operator=(const CControlHost &) = delete;

    HWND GetControlWindow() const override { return m_hDialog; }
    HANDLE GetExitEvent() const override { return m_hExit; }
    bool IsQuietStart() const override { return false; }

    bool Start();
    // Sets the exit event and waits for the thread; false when it did not end.
    bool Stop(DWORD timeoutMs = 5000);
    // The thread ended (on its own or asked).
    bool WaitEnded(DWORD timeoutMs);
    bool StopCommandReceived() const { return m_bStopCommand; }
    HWND Dialog() const { return m_hDialog; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void RunDialogThread();

    HANDLE m_hExit = nullptr;
    HANDLE m_hThread = nullptr;
    HWND m_hDialog = nullptr;
    DWORD m_dwUiThreadId = 0;
    std::thread m_uiThread;
    std::atomic<bool> m_bStopCommand{false};
};

