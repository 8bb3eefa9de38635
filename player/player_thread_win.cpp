// The PyxPlayerControl thread: makes sure the server runs, finds the
// session's kind, opens the player channel, takes the session's player
// mutex and then writes queued commands until the stop event.
#include "player_commands_win.h"

#include "api_sets_win.h"
#include "command_loop.h"
#include "launch_server.h"
#include "player_thread_win.h"
#include "protocol.h"
#include "session.h"
#include "session_channel_win.h"
#include "trace.h"
#include "kernel_names.h"

#include <memory>

namespace {

struct PlayerThreadFailure {};

[[noreturn]] void Fail() { throw PlayerThreadFailure{}; }

void ShowThreadBox(const wchar_t *text)
{
    if (MayShowBox(text))
        MessageBoxW(nullptr, text, L"Error!", MB_OK);
}

// A box of the thread before its loop runs, marked on the queue, so that a
// connect meanwhile hands its restart over instead of waiting for the user.
void ShowMarkedBox(CPlayerCommandQueue &queue, const wchar_t *text)
{
    queue.EnterBox();
    ShowThreadBox(text);
    queue.LeaveBox();
}

// The loop's platform: the thread's events, the named mutex and the channel.
class CWinPlayerLoop final : public CPlayerLoopPlatform
{
public:
    CWinPlayerLoop(CPlayerThreadContext &context, HANDLE mutex, CChannelIO &channel)
        : m_context(context), m_hMutex(mutex), m_channel(channel)
    {
    }

    Wake WaitForWork(uint32_t *result) override
    {
        const HANDLE events[2] = {m_context.hStopEvent.Get(), m_context.hCommandEvent.Get()};
        const DWORD r = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        *result = r;
        if (r == WAIT_OBJECT_0) {
            ResetEvent(events[0]);
            return Wake::Stop;
        }
        return r == WAIT_OBJECT_0 + 1 ? Wake::Command : Wake::Failed;
    }
    void ResetCommandEvent() override { ResetEvent(m_context.hCommandEvent.Get()); }
    void SetCommandEvent() override { SetEvent(m_context.hCommandEvent.Get()); }
    bool AcquireMutex(uint32_t timeoutMs) override
    {
        const DWORD r = WaitForSingleObject(m_hMutex, timeoutMs);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void ReleaseMutex() override { ::ReleaseMutex(m_hMutex); }
    bool WriteMessage(void *message, uint32_t length, uint32_t *written) override
    {
        return m_channel.WriteMessage(message, length, written);
    }
    bool WaitForStop(uint32_t timeoutMs) override
    {
        const HANDLE stop = m_context.hStopEvent.Get();
        if (WaitForSingleObject(stop, timeoutMs == kWaitForever ? INFINITE : timeoutMs) != WAIT_OBJECT_0)
            return false;
        ResetEvent(stop);
        return true;
    }
    bool IsSessionConnected() override { return ::IsSessionConnected(); }
    void ShowMessageBox(const wchar_t *text) override { ShowThreadBox(text); }

private:
    CPlayerThreadContext &m_context;
    HANDLE m_hMutex;
    CChannelIO &m_channel;
};

// Decides the session's kind (once; the thread does not wait for a remote
// session) and checks that its channel functions are there.
SessionKind FindSession(CPlayerCommandQueue &queue)
{
    SessionKind kind = SessionKind::Rdp;
    switch (FindSessionKind(&kind, [&queue](const wchar_t *text) { ShowMarkedBox(queue, text); })) {
    case SessionSearch::Found:
        return kind;
    case SessionSearch::NotYet:
        ShowMarkedBox(queue, L"This is neither RDP nor ICA session!");
        break;
    case SessionSearch::NoApi:
        break;
    }
    Fail();
}

std::unique_ptr<CChannelIO> OpenPlayerChannel(SessionKind kind, HANDLE stopEvent, bool afterConnect)
{
    std::unique_ptr<CChannelIO> channel = MakeSessionChannel(kind);
    // On RDP the stop event cancels a write still pending when it is set.
    const auto open = [&] { return OpenSessionChannel(*channel, kind, kRdpPlayerChannelName, stopEvent); };
    const auto waitForStop = [stopEvent](uint32_t ms) {
        if (WaitForSingleObject(stopEvent, ms) != WAIT_OBJECT_0)
            return false;
        ResetEvent(stopEvent);
        return true;
    };
    if (!OpenPlayerChannelWithRetry(afterConnect, open, waitForStop))
        Fail();
    return channel;
}

// Ordered clean-up, on every way out: the mutex, then the channel.
void CleanUp(CHandle &mutex, std::unique_ptr<CChannelIO> &channel)
{
    try {
        mutex.Reset();
        if (channel) {
            channel->CloseChannel();
            channel.reset();
        }
    } catch (...) {
        PYX_TRACE(L" ********** PyxStartOperation caught exception while deleting all objects ************\r\n");
    }
}

// One run of the thread: the server, the session, the channel, the mutex and
// the write loop, cleaned up on every way out.
void RunOnce(CPlayerThreadContext &context, bool afterConnect)
{
    CPlayerCommandQueue &queue = *context.pQueue;
    std::unique_ptr<CChannelIO> channel;
    CHandle mutex;
    try {
        // LaunchServer's own boxes count as the thread's too.
        queue.EnterBox();
        const bool launched = LaunchServer();
        if (!launched)
            ShowErrorBox(L"No server is active!!!!");
        queue.LeaveBox();
        if (!launched)
            Fail();
        if (queue.RestartPending())
            return;   // a connect came while the server started: this run's session is gone
        const SessionKind kind = FindSession(queue);
        channel = OpenPlayerChannel(kind, context.hStopEvent.Get(), afterConnect);
        mutex.Reset(CreateMutexW(nullptr, FALSE, kPlayerMutexName));
        if (!mutex) {
            PYX_TRACE(L" Sync fails\r\n");
            ShowMarkedBox(queue, L"CreateMutex failed!!!!");
            Fail();
        }
        CWinPlayerLoop platform(context, mutex.Get(), *channel);
        RunPlayerCommandLoop(queue, platform);
    } catch (...) {
        PYX_TRACE(L" ********** PyxStartOperation caught exception, or an exit event ************\r\n");
        CleanUp(mutex, channel);
        PYX_TRACE(L"-[VChServer]\r\n");
    }
    CleanUp(mutex, channel);
}

} // namespace

DWORD WINAPI PyxStartOperation(LPVOID lpParameter)
{
    const std::unique_ptr<CPlayerThreadContext> context(static_cast<CPlayerThreadContext *>(lpParameter));
    // A connect that came while a box of this thread was open handed its
    // restart over: once the box is answered the thread starts over here.
    for (bool afterConnect = context->afterConnect;; afterConnect = true) {
        RunOnce(*context, afterConnect);
        if (!context->pQueue->TakeRestart())
            break;
        PYX_TRACE(L"PyxStartOperation: starting over on a fresh channel after the session's connect\r\n");
    }
    context->pQueue->SetRunning(false);
    return 0;
}
