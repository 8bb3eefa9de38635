#include "message_loop_win.h"

#include <algorithm>

CAppModule g_Module;

void CMessageLoop::RemoveMessageFilter(CMessageFilter *filter)
{
    m_filters.erase(std::remove(m_filters.begin(), m_filters.end(), filter), m_filters.end());
}

void CMessageLoop::RemoveIdleHandler(CIdleHandler *handler)
{
    m_idleHandlers.erase(std::remove(m_idleHandlers.begin(), m_idleHandlers.end(), handler), m_idleHandlers.end());
}

bool CMessageLoop::PreTranslate(MSG *msg)
{
    // Newest first; a filter may remove itself while it runs.
    for (size_t i = m_filters.size(); i-- > 0;) {
        if (i < m_filters.size() && m_filters[i]->PreTranslateMessage(msg))
            return true;
    }
    return false;
}

bool CMessageLoop::OnIdle()
{
    bool more = false;
    for (size_t i = 0; i < m_idleHandlers.size(); ++i)
        more = m_idleHandlers[i]->OnIdle() || more;
    return more;
}

int CMessageLoop::Run()
{
    MSG msg{};
    for (;;) {
        while (!PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle())
                break;
        }
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1)
            continue;
        if (!got)
            break;
        if (!PreTranslate(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

void CAppModule::Term()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_loops.clear();
}

bool CAppModule::AddMessageLoop(CMessageLoop *loop)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_loops.emplace(GetCurrentThreadId(), loop).second;
}

void CAppModule::RemoveMessageLoop()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_loops.erase(GetCurrentThreadId());
}

CMessageLoop *CAppModule::GetMessageLoop(DWORD threadId)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_loops.find(threadId);
    return it == m_loops.end() ? nullptr : it->second;
}

void CloseMainWindow(HWND hwnd, CMessageFilter *filter, CIdleHandler *idle, int exitCode)
{
    if (CMessageLoop *loop = g_Module.GetMessageLoop()) {
        loop->RemoveMessageFilter(filter);
        loop->RemoveIdleHandler(idle);
    }
    if (hwnd)
        DestroyWindow(hwnd);
    PostQuitMessage(exitCode);
}
