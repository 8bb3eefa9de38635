#include "control_thread_win.h"

#include "api_sets_win.h"
#include "control_dispatch.h"
#include "control_ops_win.h"
#include "file_rpc_win.h"
#include "ica_routing_win.h"
#include "notification.h"
#include "notify.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "session.h"
#include "session_channel_win.h"
#include "trace.h"
#include "handle_win.h"

#include <cstdlib>
#include <memory>

namespace {

constexpr DWORD kSessionRecheckMs = 500;
// Pause between failed attempts that return at once (a channel that cannot
// be opened or a broken control channel), so a retry loop never spins a core
// of a shared terminal server.
constexpr DWORD kRetryPauseMs = 50;
// While the session is disconnected its channels stay dead until the
// connect restarts this thread: failed reads are retried far more slowly.
constexpr DWORD kDisconnectedPauseMs = 1000;

struct ControlThreadFailure {};

[[noreturn]] void Fail() { throw ControlThreadFailure{}; }

bool IsSignalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

// At the thread's end every file object goes. All workers are told to stop
// first and then waited for within one budget, short enough that the whole
// end (with the final notification's 2000 ms) stays within the 5000 ms the
// dialog waits for the thread: a worker stuck in a stalled download then
// delays "Kill Clients" and "Exit" by the budget only, and finishes its own
// teardown when its read returns.
constexpr DWORD kTeardownBudgetMs = 2000;

void TearDownAllFiles()
{
    const ULONGLONG deadline = GetTickCount64() + kTeardownBudgetMs;
    CFileObject *claimed[kDataChannelCount] = {};
    for (int i = 0; i < kDataChannelCount; ++i) {
        claimed[i] = ClaimClassBySlot(i);
        if (claimed[i])
            claimed[i]->RequestStop(deadline);
    }
    for (CFileObject *file : claimed) {
        if (file)
            file->DeallocateAndSetError(0, true);
    }
}

// What one run of the thread holds: the session's kind, its control
// channel, the client's parameters and the share with the ICA workers.
struct CControlSession
{
    SessionKind kind = SessionKind::Rdp;
    std::unique_ptr<CChannelIO> channel;
    ClientParametersPtr parameters = std::make_shared<CClientParameters>();
    std::shared_ptr<CIcaShare> share;
};

void Serve(HANDLE hExit, HWND hDialog, CControlSession &session)
{
    CIcaShare &share = *session.share;
    CWinControlChannel channel(*session.channel, hDialog);
    CWinFileOps files(session.kind, session.parameters, session.share, hExit);
    CWinIcaRouting routing(hExit, share);
    CControlDispatch dispatch(session.kind, share, *session.parameters, channel, files, routing);
    while (!IsSignalled(hExit)) {
        if (session.kind == SessionKind::Ica) {
            WaitForBufferReturned(routing, share.handoff);   // a worker still holding the buffer keeps it
            if (IsSignalled(hExit))
                break;
        }
        uint32_t n = 0;
        const ULONGLONG started = GetTickCount64();
        const bool ok = session.channel->ChannelRead(share.buffer, kControlReadSize, &n);
        const ULONGLONG arrived = GetTickCount64();
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            continue;
        if (n == 0) {
            if (!ok && GetTickCount64() - started < 10)
                WaitForSingleObject(hExit, IsSessionConnected() ? kRetryPauseMs : kDisconnectedPauseMs);
            continue;
        }
        if (!dispatch.OnReceived(n, arrived))
            Fail();
    }
}

void CloseControlChannel(CControlSession &session)
{
    if (session.share)
        session.share->hChannel = nullptr;
    if (session.channel) {
        session.channel->CloseChannel();
        session.channel.reset();
    }
}

} // namespace

// --- parameter solicitation -------------------------------------------------

bool SolicitePolicyFromClient(HANDLE hExit, SessionKind kind)
{
    bool result = false;
    std::unique_ptr<CChannelIO> channel;
    CHandle hMutex;
    try {
        channel = MakeSessionChannel(kind);
        if (!OpenSessionChannel(*channel, kind, kRdpPlayerChannelName, hExit, L"SolicitePolicyFromClient: "))
            Fail();
        hMutex.Reset(CreateMutexW(nullptr, FALSE, L"SolicitePolicyFromClient Mutex"));
        if (!hMutex) {
            PYX_TRACE(L" CreateMutex fails\r\n");
            if (MayShowBox(L"CreateMutex failed!!!!"))
                MessageBoxW(nullptr, L"CreateMutex failed!!!!", L"Error!", MB_OK);
            Fail();
        }
        unsigned char message[kSolicitationSize];
        BuildSolicitation(message, static_cast<uint32_t>(std::rand()) & 0x7FFF);
        const DWORD wait = WaitForSingleObject(hMutex.Get(), 1000);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
            uint32_t written = 0;
            if (!channel->WriteMessage(message, sizeof message, &written) || written != sizeof message)
                PYX_TRACE(L"SolicitePolicyFromClient: Failed to transmit data to client!\r\n");
            ReleaseMutex(hMutex.Get());
            PYX_TRACE(L"Written %d bytes\r\n", written);
            result = true;
        }
    } catch (...) {
        PYX_TRACE(L" ********** SolicitePolicyFromClient caught exception, or an exit event ************\r\n");
        PYX_TRACE(L"-[SolicitePolicyFromClient]\r\n");
        result = false;
    }
    hMutex.Reset();   // before the channel closes
    if (channel)
        channel->CloseChannel();
    return result;
}

// --- the thread -------------------------------------------------------------

DWORD WINAPI PyxControlThread(LPVOID lpParameter)
{
    PYX_TRACE(L"+[PyxControlThread]\r\n");
    CHandle hReady(CreateEventW(nullptr, TRUE, FALSE, kServerReadyEventName));
    if (!hReady) {
        ShowErrorBox(L"Failed to create a global server ready event");
        return 0;
    }
    const auto *owner = static_cast<const CControlThreadOwner *>(lpParameter);
    if (!owner) {
        PYX_TRACE(L"PyxControlThread: Error: lpParameter = NULL.\r\n");
        return 0;
    }
    const HWND hDialog = owner->GetControlWindow();
    const bool quietStart = owner->IsQuietStart();
    bool serving = false;
    // The thread's own reference to the exit event, closed as it returns.
    const CHandle exitOwn = DuplicateKernelHandle(owner->GetExitEvent());
    if (!exitOwn) {
        PYX_TRACE(L"PyxControlThread: Error: _hExit = NULL.\r\n");
        return 0;
    }
    const HANDLE hExit = exitOwn.Get();
    owner = nullptr;   // from here on only the copies above are used

    CControlSession session;
    // Held (owned by this thread) while the thread serves; released and
    // closed on the way out.
    CHandle serverMutex;
    const auto releaseServerMutex = [&serverMutex]() {
        if (serverMutex) {
            ReleaseMutex(serverMutex.Get());
            serverMutex.Reset();
        }
    };

    try {
        serverMutex.Reset(CreateMutexW(nullptr, TRUE, L"PyxServer Mutex"));
        if (!serverMutex) {
            PYX_TRACE(L" Sync fails\r\n");
            Fail();
        }
        if (!SetEvent(hReady.Get())) {
            PYX_TRACE(L"PyxControlThread SetEvent fails 0x%X\r\n", GetLastError());
            Fail();
        }
        for (;;) {
            const SessionSearch found =
                FindSessionKind(&session.kind, [](const wchar_t *text) { ShowErrorBox(text); });
            if (found == SessionSearch::NoApi)
                Fail();
            if (found == SessionSearch::Found)
                break;
            if (WaitForSingleObject(hExit, kSessionRecheckMs) != WAIT_TIMEOUT)
                Fail();
        }

        session.share = MakeIcaShare();
        if (!session.share) {
            PYX_TRACE(L"PyxControlThread: CreateEvent Event_Passed_OK fails 0x%X\r\n", GetLastError());
            Fail();
        }
        session.channel = MakeSessionChannel(session.kind);
        if (!OpenSessionChannel(*session.channel, session.kind, kRdpControlChannelName, hExit, L"PyxControlThread "))
            Fail();
        if (session.kind == SessionKind::Ica)
            session.share->hChannel = session.channel->ChannelHandle();
        session.channel->SetChunking(session.parameters->dwChunking);

        PYX_TRACE(L"PyxControlThread Ready!\r\n");
        PostServerNotification(MakeNotifyWParam(NOTIFY_SERVER_READY, 0, 0), 0);

        while (!IsSignalled(hExit) && !SolicitePolicyFromClient(hExit, session.kind)) {
            PYX_TRACE(L"SolicitePolicyFromClient retry!\r\n");
            WaitForSingleObject(hExit, kRetryPauseMs);
        }

        serving = true;
        Serve(hExit, hDialog, session);
    } catch (...) {
        PYX_TRACE(L" ********** PyxControlThread caught exception, or an exit event ************\r\n");
        releaseServerMutex();
    }

    try {
        ResetEvent(hReady.Get());
        hReady.Reset();
        TearDownAllFiles();
        releaseServerMutex();
        CloseControlChannel(session);
    } catch (...) {
        PYX_TRACE(L" ********** PyxControlThread caught exception while deleting all objects ************\r\n");
    }

    if (!IsSignalled(hExit)) {
        // A thread that ends in a disconnected session, or one started by a
        // connect that found no client player, is started again by the
        // session's next connect.
        if ((quietStart && !serving) || !IsSessionConnected()) {
            PYX_TRACE(L"PyxControlThread: ended; the server waits for the session's next connect\r\n");
        } else {
            ShowErrorBox(L"Server thread terminated. Please restart the application.");
            PostMessageW(hDialog, WM_COMMAND, 3, 0);
        }
    }
    PostServerNotification(MakeNotifyWParam(NOTIFY_SERVER_ENDED, 0, 0), 0);
    FlushServerNotifications(2000);   // gone out before the program may end
    PYX_TRACE(L"-[PyxServer]\r\n");
    return 0;
}
