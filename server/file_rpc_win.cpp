#include "file_rpc_win.h"

#include "ica_share_win.h"
#include "parked_threads_win.h"
#include "trace.h"

#include <cstring>
#include <new>

namespace {

constexpr uint32_t kCurrentSession = static_cast<uint32_t>(-1);

// Trace lines name objects by a 32-bit value, as the log always has.
unsigned ObjectTag(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

} // namespace

CFileRpc *CreateInstance(SessionKind kind, const ClientParametersPtr &parameters,
                         const std::shared_ptr<CIcaShare> &share)
{
    CFileRpc *file = nullptr;
    if (kind == SessionKind::Ica)
        file = new (std::nothrow) CFileRpcICA(share);
    else
        file = new (std::nothrow) CFileRpcRDP;
    if (file)
        file->SetClientParameters(parameters);
    return file;
}

// --- CFileRpc ---------------------------------------------------------------

bool CFileRpc::CreateExitSignal()
{
    m_bExitSet.store(false);
    _hExit.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return static_cast<bool>(_hExit);
}

void CFileRpc::SetExitSignal()
{
    m_bExitSet.store(true);
    if (_hExit)
        SetEvent(_hExit.Get());
}

// The flag, not the event: the worker asks after every request, and the
// event is only for the waits that the exit has to cut short.
bool CFileRpc::IsExitSignalled() { return m_bExitSet.load(); }

struct CFileRpc::CWorkerGate
{
    enum class State { Held, Go, Cancelled };

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    State state = State::Held;   // under lock
    bool finished = false;       // under lock
    std::atomic<DWORD> threadId{0};

    // A worker still held here goes on as `to` says; one let through
    // already is left be.
    void Open(State to)
    {
        AcquireSRWLockExclusive(&lock);
        if (state == State::Held)
            state = to;
        ReleaseSRWLockExclusive(&lock);
        WakeAllConditionVariable(&changed);
    }
};

bool CFileRpc::CreateWorker()
{
    std::shared_ptr<CWorkerGate> gate;
    try {
        gate = std::make_shared<CWorkerGate>();
        CFileRpc *self = this;
        const FileThreadProc proc = m_pfnThreadProc;
        // The body never touches the object after proc returns: the worker
        // may have deleted it.
        const bool started = CParkedThreads::Instance().Run([gate, self, proc] {
            gate->threadId.store(GetCurrentThreadId());
            AcquireSRWLockExclusive(&gate->lock);
            while (gate->state == CWorkerGate::State::Held)
                SleepConditionVariableSRW(&gate->changed, &gate->lock, INFINITE, 0);
            const bool go = gate->state == CWorkerGate::State::Go;
            ReleaseSRWLockExclusive(&gate->lock);
            if (go)
                proc(self);
            AcquireSRWLockExclusive(&gate->lock);
            gate->threadId.store(0);
            gate->finished = true;
            ReleaseSRWLockExclusive(&gate->lock);
            WakeAllConditionVariable(&gate->changed);
        });
        if (!started)
            return false;
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    m_pWorker = std::move(gate);
    return true;
}

void CFileRpc::ResumeWorker()
{
    if (m_pWorker)
        m_pWorker->Open(CWorkerGate::State::Go);
}

bool CFileRpc::IsWorkerThread() { return m_pWorker && m_pWorker->threadId.load() == GetCurrentThreadId(); }

DWORD CFileRpc::WorkerThreadId() const { return m_pWorker ? m_pWorker->threadId.load() : 0; }

bool CFileRpc::JoinWorker(uint32_t ms)
{
    if (!m_pWorker)
        return true;
    CWorkerGate &gate = *m_pWorker;
    const ULONGLONG deadline = GetTickCount64() + ms;
    AcquireSRWLockExclusive(&gate.lock);
    while (!gate.finished) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        SleepConditionVariableSRW(&gate.changed, &gate.lock, static_cast<DWORD>(deadline - now), 0);
    }
    const bool finished = gate.finished;
    ReleaseSRWLockExclusive(&gate.lock);
    return finished;
}

void CFileRpc::CloseWorker()
{
    if (!m_pWorker)
        return;
    // A worker never let through ends without touching the object.
    m_pWorker->Open(CWorkerGate::State::Cancelled);
    m_pWorker.reset();
}

// --- RDP --------------------------------------------------------------------

CFileRpcRDP::CFileRpcRDP() { m_pfnThreadProc = PyxFileThread; }

bool CFileRpcRDP::VirtualChannelOpen(int nChannel)
{
    char name[8];
    if (!RdpDataChannelName(nChannel, name, sizeof name))
        return false;
    return OpenChannel(nullptr, kCurrentSession, name, reinterpret_cast<uintptr_t>(_hExit.Get()));
}

void CFileRpcRDP::ReleaseChannel() { CloseChannel(); }

void CFileRpcRDP::DeallocateAndSetError(int nExtendedError, bool bDelete)
{
    m_bDeallocating = true;
    if (StopThread())
        ReleaseChannel();
    CFileRpc::DeallocateAndSetError(nExtendedError, bDelete);
}

void CFileRpcRDP::ReadAndProcess()
{
    uint32_t n = 0;
    if (!ChannelRead(m_Buffer, kMessageBufferSize, &n)) {
        m_nSystemErrorNumber = static_cast<int>(GetLastError());
        m_nExtendedErrorNumber = ERR_CHANNEL_IO;
        PYX_TRACE(L"ProcessFileRpc: ChannelRead failed\n");
        return;
    }
    if (n == 0)
        return;
    if (!IsCompleteMessage(m_Buffer, n)) {
        PYX_TRACE(L"ChannelRead got a short chunk of data... %d\r\n", n);
        return;
    }
    m_dwReceived = n;
    CFileRpcRequests::ProcessFileRpc();
}

DWORD WINAPI PyxFileThread(LPVOID lpParameter)
{
    auto *file = static_cast<CFileRpc *>(lpParameter);
    PYX_TRACE(L"PyxFileThreadRDP, Obj* = 0x%x\r\n", ObjectTag(file));
    if (!file) {
        PYX_TRACE(L"PyxFileThread: Error: lpParameter = NULL.\r\n");
        return 0;
    }
    if (!file->_hExit) {
        PYX_TRACE(L"PyxFileThread: Error: _hExit = NULL.\r\n");
        return 0;
    }
    file->RunWorker();
    return 0;
}

// --- ICA --------------------------------------------------------------------

CFileRpcICA::CFileRpcICA(std::shared_ptr<CIcaShare> share) : m_pShare(std::move(share))
{
    m_pfnThreadProc = PyxFileThreadICA;
}

unsigned char *CFileRpcICA::GetMessageBuffer() { return m_Request; }

uint32_t CFileRpcICA::GetMessageLength() { return m_dwRequestLength; }

void CFileRpcICA::TakeRequest()
{
    const uint32_t length = m_pShare->length.load(std::memory_order_acquire);
    m_dwRequestLength = length < kMessageBufferSize ? length : kMessageBufferSize;
    std::memcpy(m_Request, m_pShare->buffer, m_dwRequestLength);
    m_pShare->handoff.Release();
    SetEvent(m_pShare->hPassedOk.Get());
}

bool CFileRpcICA::VirtualChannelOpen(int nChannel)
{
    wchar_t name[8];
    IcaChannelEventName(nChannel, name);
    m_vcEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, name));
    PYX_TRACE(L"CFileRpcICA::VirtualChannelOpen CreateEvent for channel %d, %s, m_vcEvent = 0x%x\r\n", nChannel,
              name, ObjectTag(m_vcEvent.Get()));
    if (!m_vcEvent) {
        CFileRpc::DeallocateAndSetError(ERR_CREATE_EVENT, false);
        return false;
    }
    // Replies go out on the one channel the control thread opened.
    m_hChannel = m_pShare->hChannel.load();
    return true;
}

void CFileRpcICA::ReleaseChannel()
{
    m_vcEvent.Reset();
    m_hChannel = nullptr;   // the shared channel belongs to the control thread
}

void CFileRpcICA::DeallocateAndSetError(int nExtendedError, bool bDelete)
{
    m_bDeallocating = true;
    if (StopThread())
        ReleaseChannel();
    CFileRpc::DeallocateAndSetError(nExtendedError, bDelete);
}

DWORD WINAPI PyxFileThreadICA(LPVOID lpParameter)
{
    auto *file = static_cast<CFileRpcICA *>(static_cast<CFileRpc *>(lpParameter));
    PYX_TRACE(L"PyxFileThreadICA, Obj* = 0x%x, pFileRpcClass->m_vcEvent = 0x%x\r\n", ObjectTag(file),
              ObjectTag(file ? file->m_vcEvent.Get() : nullptr));
    if (!file)
        return 0;
    if (!file->_hExit) {
        PYX_TRACE(L"PyxFileThreadICA: Error: _hExit = NULL.\r\n");
        return 0;
    }
    for (;;) {
        if (!file->m_vcEvent) {
            PYX_TRACE(L"PyxFileThreadICA will terminate with following error: Channel reading event not "
                      L"initialized.\r\n");
            break;
        }
        // The exit event too: a close (or the end) waits for this thread,
        // and the control thread with it, so the wait must not outlast it.
        // A signal left over from a withdrawn offer finds nothing to take.
        const HANDLE wakes[2] = {file->m_vcEvent.Get(), file->_hExit.Get()};
        if (WaitForMultipleObjects(2, wakes, FALSE, kIcaWorkerWaitMs) == WAIT_OBJECT_0 && file->TakeOffered()) {
            // Busy before the buffer is given back, so the control thread's
            // next message for this channel already sees it.
            file->m_bInRequest.store(true, std::memory_order_release);
            file->TakeRequest();
            file->ServeRequest();
            file->m_bInRequest.store(false, std::memory_order_release);
            if (file->m_nExtendedErrorNumber != 0) {
                file->LogTermination();
                break;
            }
        }
        if (file->IsExitSignalled())
            break;
    }
    PYX_TRACE(L"PyxFileThread terminated. Obj* = 0x%x\r\n", ObjectTag(file));
    file->WorkerExit();
    return 0;
}
