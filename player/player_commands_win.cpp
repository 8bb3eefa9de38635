#include "player_commands_win.h"

#include "player_thread_win.h"
#include "trace.h"

static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows wide strings are UTF-16");

CPlayerCommands g_PlayerCommands;

CPlayerCommands::CPlayerCommands() : m_pQueue(std::make_shared<CPlayerCommandQueue>()) {}

CPlayerCommands::~CPlayerCommands()
{
    m_pQueue->SetRunning(false);
    StopPlayerControl();
}

int CPlayerCommands::StartPlayerControl(const std::vector<CCommand> &first)
{
    std::unique_lock<std::recursive_mutex> hold(m_csLock);
    if (!m_hStopEvent)
        m_hStopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (m_hStopEvent && !m_hCommandEvent)
        m_hCommandEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hStopEvent || !m_hCommandEvent) {
        hold.unlock();
        StopPlayerControl();
        return 1;
    }

    if (m_hThread) {
        SetEvent(m_hStopEvent.Get());
        switch (WaitForThreadOrBox(first)) {
        case ThreadWait::Ended:
            break;
        case ThreadWait::HandedOver:
            // The thread waits for the user to answer its box: it starts
            // over with these commands then. The stop is taken back, the
            // pending restart ends its loop instead.
            ResetEvent(m_hStopEvent.Get());
            PYX_TRACE(L"PyxPlayerControl shows a box: it starts over once the box is answered\r\n");
            return 0;
        case ThreadWait::Timeout:
            PYX_TRACE(L"WaitForSingleObject timeout\r\n");
            ShowErrorBox(L"Can't terminate PyxPlayerControl. Error!");
            hold.unlock();
            StopPlayerControl();
            return 1;
        }
        m_hThread.Reset();
        ResetEvent(m_hStopEvent.Get());
    }
    // The waker first: the events may be fresh (a stop released the old
    // ones), and the commands queued now must leave the event set for the
    // new thread's first wait.
    const HANDLE commandEvent = m_hCommandEvent.Get();
    m_pQueue->SetWaker([commandEvent] { SetEvent(commandEvent); });
    if (!first.empty())
        m_pQueue->Resume(first);

    auto context = std::make_unique<CPlayerThreadContext>();
    context->pQueue = m_pQueue;
    context->hStopEvent = DuplicateKernelHandle(m_hStopEvent.Get());
    context->hCommandEvent = DuplicateKernelHandle(m_hCommandEvent.Get());
    context->afterConnect = !first.empty();
    if (!context->hStopEvent || !context->hCommandEvent) {
        hold.unlock();
        StopPlayerControl();
        return 1;
    }
    // Running before the thread can end, so its own end always has the
    // last word; nobody else queues while this (the window's) thread is here.
    m_pQueue->SetRunning(true);
    m_hThread.Reset(CreateThread(nullptr, 0, PyxStartOperation, context.get(), 0, nullptr));
    if (!m_hThread) {
        m_pQueue->SetRunning(false);
        hold.unlock();
        StopPlayerControl();
        return 1;
    }
    context.release();   // the thread owns it now

    if (WaitForSingleObject(m_hThread.Get(), kPlayerThreadStartWaitMs) == WAIT_TIMEOUT)
        return 0;
    ShowErrorBox(L"PyxPlayerControl terminated early. Error!");
    hold.unlock();
    StopPlayerControl();
    return 1;
}

CPlayerCommands::ThreadWait CPlayerCommands::WaitForThreadOrBox(const std::vector<CCommand> &first)
{
    const ULONGLONG deadline = GetTickCount64() + kPlayerThreadStopWaitMs;
    for (;;) {
        if (m_pQueue->HandOverRestart(first))
            return ThreadWait::HandedOver;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return ThreadWait::Timeout;
        const DWORD slice = static_cast<DWORD>(deadline - now < kBoxPollMs ? deadline - now : kBoxPollMs);
        if (WaitForSingleObject(m_hThread.Get(), slice) == WAIT_OBJECT_0)
            return ThreadWait::Ended;
    }
}

int CPlayerCommands::StopPlayerControl()
{
    std::lock_guard<std::recursive_mutex> hold(m_csLock);
    // A restart handed over to a thread in a box is called off: it ends.
    m_pQueue->TakeRestart();
    if (m_hThread) {
        if (m_hStopEvent)
            SetEvent(m_hStopEvent.Get());
        if (WaitForSingleObject(m_hThread.Get(), kPlayerThreadStopWaitMs) == WAIT_TIMEOUT) {
            PYX_TRACE(L"WaitForSingleObject timeout\r\n");
            // The thread keeps the old queue and its own event handles; this
            // object goes on with a fresh, stopped queue of its own.
            auto fresh = std::make_shared<CPlayerCommandQueue>();
            m_pQueue->SetWaker(nullptr);
            m_pQueue = std::move(fresh);
        }
        m_hThread.Reset();
    }
    ReleaseEvents();
    return 0;
}

void CPlayerCommands::ReleaseEvents()
{
    m_pQueue->SetWaker(nullptr);
    m_hStopEvent.Reset();
    m_hCommandEvent.Reset();
}

int CPlayerCommands::QueueOpenFile(const wchar_t *fileName)
{
    return m_pQueue->QueueOpenFile(reinterpret_cast<const WireChar *>(fileName));
}

int CPlayerCommands::QueuePlayerCommand(uint32_t code, int32_t p1, int32_t p2, int32_t p3, int32_t p4)
{
    return m_pQueue->QueuePlayerCommand(code, p1, p2, p3, p4);
}
