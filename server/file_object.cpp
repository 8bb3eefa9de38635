#include "file_object.h"

#include "file_source.h"
#include "trace.h"

#include <cerrno>
#include <new>

CFileObject *g_FileRpcTable[kDataChannelCount] = {};

namespace {

// Slots whose data channel a worker left running still holds (under the
// server lock).
bool g_bSlotHeld[kDataChannelCount] = {};

std::atomic<bool> g_bThreadGivenUp{false};

} // namespace

std::mutex &ServerLock()
{
    // Deliberately never destroyed: workers may still run while the process
    // exits.
    static std::mutex *lock = new std::mutex;
    return *lock;
}

void NoteThreadGivenUp() { g_bThreadGivenUp.store(true); }
bool AnyThreadGivenUp() { return g_bThreadGivenUp.load(); }

// --- the table --------------------------------------------------------------

template <class Match> CFileObject *FindFirst(Match match)
{
    CServerLockGuard guard;
    for (CFileObject *file : g_FileRpcTable) {
        if (file && !file->IsOpening() && match(*file))
            return file;
    }
    return nullptr;
}

template <class Match> CFileObject *ClaimFirst(Match match)
{
    CServerLockGuard guard;
    for (CFileObject *&file : g_FileRpcTable) {
        if (file && !file->IsOpening() && match(*file)) {
            CFileObject *found = file;
            found->m_bClaimed = true;
            file = nullptr;
            return found;
        }
    }
    return nullptr;
}

namespace {

auto ByDescriptor(int fd)
{
    return [fd](const CFileObject &f) { return fd != -1 && f.m_dwFileDescriptor != -1 && f.m_dwFileDescriptor == fd; };
}

auto ByStream(uint32_t stream)
{
    return [stream](const CFileObject &f) {
        return stream != 0 && f.m_dwFilePointer == stream && f.m_dwFileDescriptor != -1;
    };
}

} // namespace

CFileObject *GetClassByFileDescriptor(int fd) { return FindFirst(ByDescriptor(fd)); }
CFileObject *GetClassByFilePointer(uint32_t stream) { return FindFirst(ByStream(stream)); }
CFileObject *ClaimClassByFileDescriptor(int fd) { return ClaimFirst(ByDescriptor(fd)); }
CFileObject *ClaimClassByFilePointer(uint32_t stream) { return ClaimFirst(ByStream(stream)); }

CFileObject *ClaimClassBySlot(int slot)
{
    if (!IsDataChannel(slot))
        return nullptr;
    CServerLockGuard guard;
    CFileObject *file = g_FileRpcTable[slot];
    if (!file || file->m_bOpening)
        return nullptr;
    file->m_bClaimed = true;
    g_FileRpcTable[slot] = nullptr;
    return file;
}

bool ClaimFileObject(const CFileRpcRequests *file)
{
    return ClaimFirst([file](const CFileObject &entry) { return &entry == file; }) != nullptr;
}

bool ClaimFileObject(const CFileObject *file, uint64_t identity)
{
    return ClaimFirst([file, identity](const CFileObject &entry) {
               return &entry == file && entry.Identity() == identity;
           }) != nullptr;
}

CIcaRoutingOps::Worker WorkerOfSlot(int slot)
{
    CServerLockGuard guard;
    const CFileObject *file = IsDataChannel(slot) ? g_FileRpcTable[slot] : nullptr;
    if (!file || file->IsOpening())
        return CIcaRoutingOps::Worker::None;
    return file->IsInRequest() ? CIcaRoutingOps::Worker::Busy : CIcaRoutingOps::Worker::Ready;
}

int CloseClaimedFile(CFileObject *file)
{
    if (!file->StopThread()) {
        PYX_TRACE(L"CloseClaimedFile: the worker is still in a request; it closes the file when it returns\r\n");
        file->DeallocateAndSetError(0, true);
        return -1;
    }
    const int result = file->CloseFile();
    file->DeallocateAndSetError(0, true);
    return result;
}

// --- CFileObject ------------------------------------------------------------

uint64_t CFileObject::NextIdentity()
{
    static std::atomic<uint64_t> s_ullLast{0};
    return ++s_ullLast;
}

bool CFileObject::FileRpcInit(const WireChar *name, FileOpenOutcome *outcome)
{
    // The outcome is taken, and the object handed over to lookups and
    // teardowns, in one step under the lock; a started worker runs only
    // from then on, so nothing here touches the object after it.
    auto report = [&](bool result) {
        CServerLockGuard guard;
        if (outcome) {
            outcome->fileDescriptor = m_dwFileDescriptor;
            outcome->channelNumber = m_nChannelNumber;
            outcome->extendedError = m_nExtendedErrorNumber;
            outcome->systemError = m_nSystemErrorNumber;
        }
        m_bOpening = false;
        if (result) {
            ResumeWorker();
        } else if (IsDataChannel(m_nChannelNumber) && g_FileRpcTable[m_nChannelNumber] == this) {
            // A failed object is never shown: it stays claimed by its opener
            // (the control thread, or the open's own thread once the open
            // was given up), who alone tears it down.
            g_FileRpcTable[m_nChannelNumber] = nullptr;
            m_bClaimed = true;
        }
        return result;
    };

    int slot = 0;
    {
        CServerLockGuard guard;
        while (slot < kDataChannelCount && (g_FileRpcTable[slot] || g_bSlotHeld[slot]))
            ++slot;
        if (slot < kDataChannelCount) {
            m_nChannelNumber = slot;
            g_FileRpcTable[slot] = this;
            m_bOpening = true;
        }
    }
    if (slot == kDataChannelCount)
        return report(false);

    if (!CreateExitSignal()) {
        DeallocateAndSetError(ERR_CREATE_EVENT, false);
        return report(false);
    }
    if (!VirtualChannelOpen(m_nChannelNumber)) {
        DeallocateAndSetError(ERR_CHANNEL_OPEN, false);
        return report(false);
    }

    auto fail = [&](int error) {
        m_nSystemErrorNumber = error;
        m_pFile.reset();
        m_dwFileDescriptor = -1;
        return report(false);
    };

    // A source that could not be opened or sized tells why itself.
    m_pFile = CreateFileSource(name);
    if (!m_pFile || !m_pFile->Open(name))
        return fail(m_pFile ? static_cast<int>(m_pFile->LastError()) : ENOMEM);
    m_dwFileDescriptor = static_cast<int32_t>(m_pFile->GetHandle());

    if (m_pFile->Seek(0, 2) <= 0 || m_pFile->Seek(0, 0) < 0)
        return fail(static_cast<int>(m_pFile->LastError()));

    ResetThroughput();

    if (!CreateWorker()) {
        DeallocateAndSetError(ERR_CREATE_THREAD, false);
        return report(false);
    }
    m_bStopped = false;
    return report(true);
}

int CFileObject::CloseFile()
{
    if (!m_pFile)
        return -1;
    const int result = m_pFile->Close();
    ReleaseStream();
    m_pFile.reset();
    m_dwFileDescriptor = -1;
    return result;
}

void CFileObject::RequestStop(uint64_t deadline)
{
    m_ullJoinDeadline = deadline;
    m_bRepliesStopped = true;
    SetExitSignal();
}

bool CFileObject::StopThread()
{
    if (!HasWorker())
        return m_bStopped;
    if (IsWorkerThread()) {
        // The worker tearing its own object down: nothing to wait for.
        CloseWorker();
        m_bStopped = true;
        return true;
    }
    m_bRepliesStopped = true;
    SetExitSignal();
    bool stopped = true;
    uint32_t joinMs = kWorkerJoinMs;
    if (m_ullJoinDeadline != 0) {
        const uint64_t now = Now();
        joinMs = now < m_ullJoinDeadline ? static_cast<uint32_t>(m_ullJoinDeadline - now) : 0;
    }
    if (!JoinWorker(joinMs)) {
        PYX_TRACE(L" DeallocateAndSetError: Failed killing thread.....\r\n");
        CServerLockGuard guard;
        if (!m_bWorkerDone) {
            m_bOrphaned = true;
            stopped = false;
            NoteThreadGivenUp();
        }
    }
    CloseWorker();
    m_bStopped = stopped;
    return stopped;
}

void CFileObject::DeallocateAndSetError(int nExtendedError, bool bDelete)
{
    m_bDeallocating = true;
    const int systemError = LastOsError();
    PYX_TRACE(L"DeallocateAndSetError++\r\n");
    if (nExtendedError != 0)
        PYX_TRACE(L" DeallocateAndSetError m_nExtendedErrorNumber = 0x%x, m_nSystemErrorNumber = 0x%x\r\n",
                  nExtendedError, systemError);
    const bool stopped = StopThread();
    // The error fields are the worker's while it runs: set once it stopped.
    if (stopped) {
        m_nExtendedErrorNumber = nExtendedError;
        m_nSystemErrorNumber = systemError;
    }

    {
        CServerLockGuard guard;
        if (IsDataChannel(m_nChannelNumber) && g_FileRpcTable[m_nChannelNumber] == this)
            g_FileRpcTable[m_nChannelNumber] = nullptr;
        // A worker left running keeps its data channel (RDP) or hand-off
        // event (ICA) until it ends: its slot is given to no new open until
        // then.
        if (!stopped && IsDataChannel(m_nChannelNumber)) {
            m_nHeldSlot = m_nChannelNumber;
            g_bSlotHeld[m_nHeldSlot] = true;
        }
        m_nChannelNumber = 0;
    }

    if (!stopped) {
        // The worker is still inside a request: it owns the rest of the
        // teardown (source, exit signal, deletion) and does it when it ends.
        PYX_TRACE(L"DeallocateAndSetError--\r\n");
        return;
    }
    CloseExitSignal();
    m_pFile.reset();
    m_dwFileDescriptor = -1;
    PYX_TRACE(L"DeallocateAndSetError--\r\n");
    m_bDeallocating = false;
    if (bDelete)
        delete this;
}

void CFileObject::WorkerExit()
{
    bool mine = false;
    bool finish = false;
    {
        CServerLockGuard guard;
        m_bWorkerDone = true;
        if (!m_bClaimed && IsDataChannel(m_nChannelNumber) && g_FileRpcTable[m_nChannelNumber] == this) {
            m_bClaimed = true;
            g_FileRpcTable[m_nChannelNumber] = nullptr;
            mine = true;
        } else if (m_bOrphaned) {
            finish = true;
        }
    }
    if (mine) {
        DeallocateAndSetError(0, true);
    } else if (finish) {
        ReleaseChannel();
        m_pFile.reset();
        {
            CServerLockGuard guard;
            if (IsDataChannel(m_nHeldSlot))
                g_bSlotHeld[m_nHeldSlot] = false;
        }
        delete this;
    }
}

void CFileObject::ServeRequest()
{
    try {
        ProcessFileRpc();
    } catch (const std::bad_alloc &) {
        PYX_TRACE(L"ProcessFileRpc: out of memory, the request is dropped\r\n");
    }
}

void CFileObject::LogTermination() const
{
    PYX_TRACE(L"PyxFileThread will terminate with following errors:\r\n");
    PYX_TRACE(L"ExtendedErrorNumber = 0x%x, SystemErrorNumber = %d\r\n", m_nExtendedErrorNumber,
              m_nSystemErrorNumber);
}

void CFileObject::RunWorker()
{
    for (;;) {
        ServeRequest();
        if (m_nExtendedErrorNumber != 0) {
            LogTermination();
            break;
        }
        if (IsExitSignalled())
            break;
    }
    PYX_TRACE(L"PyxFileThread terminated. Obj* = 0x%x\r\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    WorkerExit();
}
