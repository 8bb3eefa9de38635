#include "control_thread.h"

#include "api_sets.h"
#include "channel_ica.h"
#include "channel_rdp.h"
#include "file_rpc.h"
#include "ica_routing.h"
#include "notification.h"
#include "notify.h"
#include "open_job.h"
#include "protocol.h"
#include "server_globals.h"
#include "session.h"
#include "settings_win.h"
#include "trace.h"
#include "win/handle.h"

#include <cstdlib>
#include <memory>

std::unique_ptr<CChannelIO> g_pControlChannel;

namespace {

constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);
constexpr DWORD kIcaReadTimeoutMs = 500;
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
    CFileRpc *claimed[kDataChannelCount] = {};
    for (int i = 0; i < kDataChannelCount; ++i) {
        claimed[i] = ClaimClassBySlot(i);
        if (claimed[i])
            claimed[i]->RequestStop(deadline);
    }
    for (CFileRpc *file : claimed) {
        if (file)
            file->DeallocateAndSetError(0, true);
    }
}

std::unique_ptr<CChannelIO> MakeChannel(bool ica)
{
    if (ica)
        return std::make_unique<CIcaChannelIO>();
    return std::make_unique<CRdpChannelIO>();
}

bool OpenSessionChannel(CChannelIO &channel, bool ica, const char *rdpName, HANDLE hExit)
{
    if (ica)
        return channel.OpenChannel(nullptr, kCurrentSession, kIcaChannelName, kIcaReadTimeoutMs);
    return channel.OpenChannel(nullptr, kCurrentSession, rdpName, reinterpret_cast<uintptr_t>(hExit));
}

bool WriteReply(void *message, uint32_t length)
{
    uint32_t written = 0;
    return g_pControlChannel->WriteMessage(message, length, &written) && written == length;
}

// --- dispatch -----------------------------------------------------------

void OnSendParams(uint32_t n, HWND hDialog)
{
    SendParams params{};
    if (!ReadSendParams(g_MessageBuffer, n, &params)) {
        PYX_TRACE(L"PyxControlThread: PYXMSG_SEND_PARAMS of %d bytes is too short, dropped\r\n", n);
        return;
    }
    g_dwMaxBlockKB = params.dwMaxBlockKB;
    g_dwTargetRate = params.dwTargetRate;
    if (!g_bIcaSession)
        g_dwChunking = params.dwChunking;
    g_pControlChannel->SetChunking(g_dwChunking);
    if (params.dwPolicy & kPolicyApply)
        ApplyClientPolicyToDialog(params.dwPolicy, hDialog);

    BuildIntReply(g_MessageBuffer, 0, CHANNEL_CONTROL);
    if (!WriteReply(g_MessageBuffer, kIntMessageSize)) {
        PYX_TRACE(L"PYXMSG_SEND_PARAMS ERRROR ChannelWrite\r\n");
        Fail();
    }
}

// OPEN: the file is opened on a thread of its own (COpenJob), waited for
// until 20 s after the OPEN arrived or the exit event; the reply tells the
// client the outcome, or a time-out.
void OnOpen(uint32_t n, HANDLE hExit, ULONGLONG arrived)
{
    OpenRequest request{};
    if (!ReadOpenRequest(g_MessageBuffer, n, &request)) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN: the file name is cut off by the end of the %d-byte message, dropped\r\n", n);
        return;
    }
    const MessageHeader h = LoadHeader(g_MessageBuffer);
    const wchar_t *name = reinterpret_cast<const wchar_t *>(request.filename);
    static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows wide strings are UTF-16");

    CFileRpc *file = CreateInstance(g_bIcaSession);
    if (!file) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN CreateInstance failed\r\n");
        Fail();
    }
    PYX_TRACE(L"+PYXMSG_RPC_OPEN dwMessageDataSize 0x%x, dwPSN 0x%x\r\n", h.dwMessageDataSize, h.dwPSN);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpen->filename = '%s'\r\n", name);

    // The reply is built from what the object held before its worker
    // started: from then on a channel error may tear it down at any time.
    CFileRpc::OpenOutcome outcome;
    bool opened = false;
    const std::shared_ptr<COpenJob> job = COpenJob::Start(file, name);
    if (!job) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN: no thread for the open, error %d\r\n", GetLastError());
        outcome.extendedError = ERR_CREATE_THREAD;
        outcome.systemError = static_cast<int32_t>(GetLastError());
    } else {
        switch (job->Wait(hExit, arrived + kOpenDeadlineMs)) {
        case COpenJob::Outcome::Done:
            opened = job->Opened();
            outcome = job->Result();
            break;
        case COpenJob::Outcome::Exited:
            // The thread ends: nobody is left to answer, and the open's own
            // thread disposes of what it opens.
            PYX_TRACE(L"PYXMSG_RPC_OPEN: the exit event came during the open; the open is given up\r\n");
            return;
        case COpenJob::Outcome::TimedOut:
            PYX_TRACE(L"PYXMSG_RPC_OPEN: no outcome within %d ms; the open is given up\r\n", kOpenDeadlineMs);
            outcome.systemError = kOpenTimedOutError;
            file = nullptr;   // its thread's from now on
            break;
        }
    }

    BuildOpenReply(g_MessageBuffer, outcome.fileDescriptor, outcome.channelNumber, outcome.extendedError,
                   outcome.systemError);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpenResp->file_desc = 0x%x, pMsgOpenResp->nChannelNumber = %d\r\n",
              outcome.fileDescriptor, outcome.channelNumber);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpenResp->nExtendedErrorNumber = 0x%x\r\n", outcome.extendedError);

    if (!WriteReply(g_MessageBuffer, kOpenReplySize)) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN ERRROR ChannelWrite\r\n");
        // A served file may meanwhile have been torn down by its worker.
        if (file && (!opened || ClaimFileObject(file)))
            file->DeallocateAndSetError(0, true);
        Fail();
    }
    if (file && !opened)
        file->DeallocateAndSetError(0, true);
    PYX_TRACE(L"-PYXMSG_RPC_OPEN\r\n");
}

void OnClose(uint32_t n, bool byStream)
{
    uint32_t handle = 0;
    if (!ReadCloseRequest(g_MessageBuffer, n, &handle)) {
        PYX_TRACE(L"%s of %d bytes is too short, dropped\r\n", byStream ? L"PYXMSG_RPC_FCLOSE" : L"PYXMSG_RPC_CLOSE", n);
        return;
    }
    // The lookup claims the object for teardown, so a worker tearing down
    // its own object at the same moment cannot make it go twice.
    CFileRpc *file = byStream ? ClaimClassByFilePointer(handle) : ClaimClassByFileDescriptor(static_cast<int>(handle));
    if (!file) {
        if (byStream)
            PYX_TRACE(L"ChannelWrite: PYXMSG_RPC_FCLOSE GetClassByFileDescriptor got 0\r\n");
        else
            PYX_TRACE(L"ChannelWrite: PYXMSG_RPC_CLOSE GetClassByFileDescriptor got 0\r\n");
        return;
    }
    if (byStream)
        PYX_TRACE(L"ChannelRead: PYXMSG_RPC_FCLOSE FD = %d,  FP = 0x%x\r\n", file->m_dwFileDescriptor,
                  file->m_dwFilePointer);
    else
        PYX_TRACE(L"PYXMSG_RPC_CLOSE FD = %d,  FP = 0x%x\r\n", file->m_dwFileDescriptor, file->m_dwFilePointer);

    const int result = CloseClaimedFile(file);   // the object is gone (or its worker finishes it)
    BuildIntReply(g_MessageBuffer, result, CHANNEL_CONTROL);
    if (!WriteReply(g_MessageBuffer, kIntMessageSize)) {
        if (byStream)
            PYX_TRACE(L"PYXMSG_RPC_FCLOSE ERRROR ChannelWrite\r\n");
        else
            PYX_TRACE(L"PYXMSG_RPC_CLOSE ERRROR ChannelWrite\r\n");
        Fail();
    }
}

void Dispatch(uint32_t n, HWND hDialog, HANDLE hExit, ULONGLONG arrived)
{
    const MessageHeader h = LoadHeader(g_MessageBuffer);
    const unsigned char *code = g_MessageBuffer;
    PYX_TRACE(L"PyxControlThread VirtualChannelRead OK. dwRet = %d,\r\n   phdr->dwMessageType = 0x%08X "
              L"dwChannelNumber = %d ('%c%c%c%c')\r\n",
              n, h.dwMessageType, h.dwChannelNumber, code[0], code[1], code[2], code[3]);
    switch (h.dwMessageType) {
    case PYXMSG_SEND_PARAMS: OnSendParams(n, hDialog); break;
    case PYXMSG_RPC_OPEN: OnOpen(n, hExit, arrived); break;
    case PYXMSG_RPC_CLOSE: OnClose(n, false); break;
    case PYXMSG_RPC_FCLOSE: OnClose(n, true); break;
    default: PYX_TRACE(L" ********** ChannelRead Unexpected message!!!!!!! ************\r\n"); break;
    }
}

void Serve(HANDLE hExit, HWND hDialog)
{
    while (!IsSignalled(hExit)) {
        if (g_bIcaSession) {
            WaitForBufferReturned(hExit);   // a worker still holding the buffer keeps it
            if (IsSignalled(hExit))
                break;
        }
        uint32_t n = 0;
        const ULONGLONG started = GetTickCount64();
        const bool ok = g_pControlChannel->ChannelRead(g_MessageBuffer, kControlReadSize, &n);
        const ULONGLONG arrived = GetTickCount64();
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            continue;
        if (n == 0) {
            if (!ok && GetTickCount64() - started < 10)
                WaitForSingleObject(hExit, IsSessionConnected() ? kRetryPauseMs : kDisconnectedPauseMs);
            continue;
        }
        if (!IsCompleteMessage(g_MessageBuffer, n)) {
            PYX_TRACE(L"PyxControlThread ChannelRead got a short chunk of data... %d\r\n", n);
            continue;
        }
        const int32_t channel = MessageChannel(g_MessageBuffer);
        if (g_bIcaSession && channel != CHANNEL_CONTROL) {
            if (IsDataChannel(channel))
                pass_the_message(channel, n, hExit);
            else
                PYX_TRACE(L"PyxControlThread: message for channel %d dropped, no such data channel\r\n", channel);
            continue;
        }
        Dispatch(n, hDialog, hExit, arrived);
    }
}

} // namespace

// --- parameter solicitation -------------------------------------------------

bool SolicitePolicyFromClient(HANDLE hExit)
{
    bool result = false;
    std::unique_ptr<CChannelIO> channel;
    CHandle hMutex;
    try {
        channel = MakeChannel(g_bIcaSession);
        if (!OpenSessionChannel(*channel, g_bIcaSession, kRdpPlayerChannelName, hExit)) {
            if (g_bIcaSession)
                PYX_TRACE(L"SolicitePolicyFromClient: WFVirtualChannelOpen fails 0x%X\r\n", GetLastError());
            else
                PYX_TRACE(L"SolicitePolicyFromClient: WTSVirtualChannelOpen fails 0x%X\r\n", GetLastError());
            Fail();
        }
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
        BindApiFunctions();

        for (;;) {
            unsigned char retry = 0;
            g_bIcaSession = WaitForSession(&retry);
            if (!retry)
                break;
            if (WaitForSingleObject(hExit, kSessionRecheckMs) != WAIT_TIMEOUT)
                Fail();
        }
        if (g_bIcaSession && !IsIcaApiLoaded()) {
            ShowErrorBox(L"Failed to load appropriate (ICA) api set!");
            Fail();
        }
        if (!g_bIcaSession && !IsRdpApiLoaded()) {
            ShowErrorBox(L"Failed to load appropriate (RDP) api set!");
            Fail();
        }

        if (g_pControlChannel) {
            g_pControlChannel->CloseChannel();
            g_pControlChannel.reset();
        }
        g_pControlChannel = MakeChannel(g_bIcaSession);
        if (g_bIcaSession) {
            if (!OpenSessionChannel(*g_pControlChannel, true, kIcaChannelName, hExit))
                Fail();
            g_hIcaChannel = g_pControlChannel->ChannelHandle();
            g_dwChunking = 1;
        } else {
            if (!OpenSessionChannel(*g_pControlChannel, false, kRdpControlChannelName, hExit)) {
                PYX_TRACE(L"PyxControlThread WTSVirtualChannelOpen fails 0x%X\r\n", GetLastError());
                Fail();
            }
            g_hIcaChannel = nullptr;
        }
        g_pControlChannel->SetChunking(g_dwChunking);

        PYX_TRACE(L"PyxControlThread Ready!\r\n");
        PostServerNotification(MakeNotifyWParam(NOTIFY_SERVER_READY, 0, 0), 0);

        while (!IsSignalled(hExit) && !SolicitePolicyFromClient(hExit)) {
            PYX_TRACE(L"SolicitePolicyFromClient retry!\r\n");
            WaitForSingleObject(hExit, kRetryPauseMs);
        }

        serving = true;
        Serve(hExit, hDialog);
    } catch (...) {
        PYX_TRACE(L" ********** PyxControlThread caught exception, or an exit event ************\r\n");
        releaseServerMutex();
    }

    try {
        ResetEvent(hReady.Get());
        hReady.Reset();
        TearDownAllFiles();
        releaseServerMutex();
        g_hIcaChannel = nullptr;
        if (g_pControlChannel) {
            g_pControlChannel->CloseChannel();
            g_pControlChannel.reset();
        }
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
