// A thread's message loop with message filters (offered every message
// first, e.g. for IsDialogMessage) and idle handlers (run while the queue is
// empty), and the module object that knows each thread's loop.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

class CMessageFilter
{
public:
    virtual BOOL PreTranslateMessage(MSG *pMsg) = 0;

protected:
    ~CMessageFilter() = default;
};

class CIdleHandler
{
public:
    virtual BOOL OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

class CMessageLoop
{
public:
    void AddMessageFilter(CMessageFilter *filter) { m_filters.push_back(filter); }
    void RemoveMessageFilter(CMessageFilter *filter);
    void AddIdleHandler(CIdleHandler *handler) { m_idleHandlers.push_back(handler); }
    void RemoveIdleHandler(CIdleHandler *handler);

    // Runs until WM_QUIT and returns its wParam. A failing GetMessage is skipped.
    int Run();

private:
    bool PreTranslate(MSG *msg);
    bool OnIdle();

    std::vector<CMessageFilter *> m_filters;
    std::vector<CIdleHandler *> m_idleHandlers;
};

class CAppModule
{
public:
    void Init(HINSTANCE instance) { m_hInstance = instance; }
    void Term();
    HINSTANCE Instance() const { return m_hInstance; }
    bool AddMessageLoop(CMessageLoop *loop);
    void RemoveMessageLoop();
    CMessageLoop *GetMessageLoop(DWORD threadId = GetCurrentThreadId());

private:
    HINSTANCE m_hInstance = nullptr;
    std::mutex m_lock;
    std::map<DWORD, CMessageLoop *> m_loops;
};

extern CAppModule g_Module;

// The end of a program's main window: it leaves this thread's message loop,
// is destroyed, and WM_QUIT carries exitCode.
void CloseMainWindow(HWND hwnd, CMessageFilter *filter, CIdleHandler *idle, int exitCode);
