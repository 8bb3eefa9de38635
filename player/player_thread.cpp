// The PyxPlayerControl thread: makes sure the server runs, finds the
// session's kind, opens the player channel, takes the session's player
// mutex and then writes queued commands until the stop event.
#include "player_commands.h"

#include "api_sets.h"
#include "channel_ica.h"
#include "channel_rdp.h"
#include "command_loop.h"
#include "launch_server.h"
#include "player_thread.h"
#include "protocol.h"
#include "session.h"
#include "trace.h"
#include "win/kernel_names.h"

#include <memory>

namespace {

constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);
constexpr DWORD kIcaReadTimeoutMs = 500;

struct PlayerThreadFailure {};

[[noreturn]] void Fail() { throw PlayerThreadFailure{}; }

void ShowThreadBox(const wchar_t *text)
{
    if (MayShowBox(text))
        MessageBoxW(nullptr, text, L"Error!", MB_OK);
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
bool FindSession()
{
    unsigned char retry = 0;
    const bool ica = WaitForSession(&retry);
    if (retry) {
        ShowThreadBox(L"This is neither RDP nor ICA session!");
        Fail();
    }
    if (ica && !IsIcaApiLoaded()) {
        ShowThreadBox(L"Failed to load appropriate (ICA) api set!");
        Fail();
    }
    if (!ica && !IsRdpApiLoaded()) {
        ShowThreadBox(L"Failed to load appropriate (RDP) api set!");
        Fail();
    }
    return ica;
}

std::unique_ptr<CChannelIO> OpenPlayerChannel(bool ica, HANDLE stopEvent)
{
    std::unique_ptr<CChannelIO> channel;
    if (ica)
        channel = std::make_unique<CIcaChannelIO>();
    else
        channel = std::make_unique<CRdpChannelIO>();
    // On RDP the stop event cancels a write still pending when it is set.
    const bool opened =
        ica ? channel->OpenChannel(nullptr, kCurrentSession, kIcaChannelName, kIcaReadTimeoutMs)
            : channel->OpenChannel(nullptr, kCurrentSession, kRdpPlayerChannelName, reinterpret_cast<uintptr_t>(stopEvent));
    if (!opened) {
        if (ica)
            PYX_TRACE(L"WFVirtualChannelOpen fails 0x%X\r\n", GetLastError());
        else
            PYX_TRACE(L"WTSVirtualChannelOpen fails 0x%X\r\n", GetLastError());
        Fail();
    }
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

} // namespace

DWORD WINAPI PyxStartOperation(LPVOID lpParameter)
{
    const std::unique_ptr<CPlayerThreadContext> context(static_cast<CPlayerThreadContext *>(lpParameter));
    std::unique_ptr<CChannelIO> channel;
    CHandle mutex;
    try {
        BindApiFunctions();
        if (!LaunchServer()) {
            ShowErrorBox(L"No server is active!!!!");
            Fail();
        }
        const bool ica = FindSession();
        channel = OpenPlayerChannel(ica, context->hStopEvent.Get());
        mutex.Reset(CreateMutexW(nullptr, FALSE, kPlayerMutexName));
        if (!mutex) {
            PYX_TRACE(L" Sync fails\r\n");
            ShowThreadBox(L"CreateMutex failed!!!!");
            Fail();
        }
        CWinPlayerLoop platform(*context, mutex.Get(), *channel);
        RunPlayerCommandLoop(*context->pQueue, platform);
    } catch (...) {
        PYX_TRACE(L" ********** PyxStartOperation caught exception, or an exit event ************\r\n");
        CleanUp(mutex, channel);
        PYX_TRACE(L"-[VChServer]\r\n");
    }
    CleanUp(mutex, channel);
    context->pQueue->SetRunning(false);
    return 0;
}
