#include "file_rpc.h"

#include "internet_file.h"
#include "local_file.h"
#include "server_globals.h"
#include "trace.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <new>

CFileRpc *g_FileRpcTable[kDataChannelCount] = {};

namespace {

// Slots whose data channel a worker left running still holds (under the
// server lock).
bool g_bSlotHeld[kDataChannelCount] = {};

} // namespace

namespace {

constexpr uint32_t kCurrentSession = static_cast<uint32_t>(-1);

bool IsSignalled(HANDLE h) { return h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

bool IsUrl(const wchar_t *name) { return std::wcsstr(name, L"://") != nullptr; }

std::unique_ptr<CVirtualFileInterface> CreateFileSource(const wchar_t *name)
{
    if (IsUrl(name))
        return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CInternetFileInterface);
    return std::unique_ptr<CVirtualFileInterface>(new (std::nothrow) CLocalFileInterface);
}

void LogTermination(const CFileRpc *file)
{
    PYX_TRACE(L"PyxFileThread will terminate with following errors:\r\n");
    PYX_TRACE(L"ExtendedErrorNumber = 0x%x, SystemErrorNumber = %d\r\n", file->m_nExtendedErrorNumber,
              file->m_nSystemErrorNumber);
}

// Trace lines name objects by a 32-bit value, as the log always has.
unsigned ObjectTag(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

} // namespace

// --- the table --------------------------------------------------------------

CFileRpc *CreateInstance(bool bIca)
{
    if (bIca)
        return new (std::nothrow) CFileRpcICA;
    return new (std::nothrow) CFileRpcRDP;
}

template <class Match> CFileRpc *FindFirst(Match match)
{
    CServerLockGuard guard;
    for (CFileRpc *file : g_FileRpcTable) {
        if (file && !file->IsOpening() && match(*file))
            return file;
    }
    return nullptr;
}

template <class Match> CFileRpc *ClaimFirst(Match match)
{
    CServerLockGuard guard;
    for (CFileRpc *&file : g_FileRpcTable) {
        if (file && !file->IsOpening() && match(*file)) {
            CFileRpc *found = file;
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
    return [fd](const CFileRpc &f) { return fd != -1 && f.m_dwFileDescriptor != -1 && f.m_dwFileDescriptor == fd; };
}

auto ByStream(uint32_t stream)
{
    return [stream](const CFileRpc &f) {
        return stream != 0 && f.m_dwFilePointer == stream && f.m_dwFileDescriptor != -1;
    };
}

} // namespace

CFileRpc *GetClassByFileDescriptor(int fd) { return FindFirst(ByDescriptor(fd)); }
CFileRpc *GetClassByFilePointer(uint32_t stream) { return FindFirst(ByStream(stream)); }
CFileRpc *ClaimClassByFileDescriptor(int fd) { return ClaimFirst(ByDescriptor(fd)); }
CFileRpc *ClaimClassByFilePointer(uint32_t stream) { return ClaimFirst(ByStream(stream)); }

CFileRpc *ClaimClassBySlot(int slot)
{
    if (!IsDataChannel(slot))
        return nullptr;
    CServerLockGuard guard;
    CFileRpc *file = g_FileRpcTable[slot];
    if (!file || file->m_bOpening)
        return nullptr;
    file->m_bClaimed = true;
    g_FileRpcTable[slot] = nullptr;
    return file;
}

bool ClaimFileObject(CFileRpc *file)
{
    CServerLockGuard guard;
    for (CFileRpc *&entry : g_FileRpcTable) {
        if (entry == file && file && !file->m_bOpening) {
            file->m_bClaimed = true;
            entry = nullptr;
            return true;
        }
    }
    return false;
}

int CloseClaimedFile(CFileRpc *file)
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

// --- CFileRpc ---------------------------------------------------------------

CFileRpc::~CFileRpc()
{
    m_hThread.Reset();
    _hExit.Reset();
}

bool CFileRpc::FileRpcInit(const wchar_t *name, OpenOutcome *outcome)
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
        if (result)
            ResumeThread(m_hThread.Get());
        return result;
    };

    {
        CServerLockGuard guard;
        int slot = 0;
        while (slot < kDataChannelCount && (g_FileRpcTable[slot] || g_bSlotHeld[slot]))
            ++slot;
        if (slot == kDataChannelCount)
            return report(false);
        m_nChannelNumber = slot;
        g_FileRpcTable[slot] = this;
        m_bOpening = true;
    }

    _hExit.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!_hExit) {
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

    // A URL's failure is told by the Internet library's error, not errno.
    auto sourceError = [&]() {
        if (const auto *url = dynamic_cast<const CInternetFileInterface *>(m_pFile.get()))
            return static_cast<int>(url->LastError());
        return errno;
    };

    m_pFile = CreateFileSource(name);
    errno = 0;
    if (!m_pFile || !m_pFile->Open(reinterpret_cast<const WireChar *>(name)))
        return fail(m_pFile ? sourceError() : ENOMEM);
    m_dwFileDescriptor = static_cast<int32_t>(m_pFile->GetHandle());

    errno = 0;
    if (m_pFile->Seek(0, 2) <= 0 || m_pFile->Seek(0, 0) < 0)
        return fail(sourceError());

    ResetThroughput();

    // Started suspended, so that its handle and id are recorded before it
    // can run (and, on a channel error, tear the object down).
    DWORD id = 0;
    m_hThread.Reset(CreateThread(nullptr, 0, m_pfnThreadProc, this, CREATE_SUSPENDED, &id));
    if (!m_hThread) {
        DeallocateAndSetError(ERR_CREATE_THREAD, false);
        return report(false);
    }
    m_dwThreadId = id;
    m_bStopped = false;
    return report(true);
}

int CFileRpc::CloseFile()
{
    if (!m_pFile)
        return -1;
    const int result = m_pFile->Close();
    ReleaseStream();
    m_pFile.reset();
    m_dwFileDescriptor = -1;
    return result;
}

void CFileRpc::RequestStop(ULONGLONG deadline)
{
    m_ullJoinDeadline = deadline;
    m_bRepliesStopped = true;
    if (_hExit)
        SetEvent(_hExit.Get());
}

bool CFileRpc::StopThread()
{
    if (!m_hThread)
        return m_bStopped;
    if (GetCurrentThreadId() == m_dwThreadId) {
        // The worker tearing its own object down: nothing to wait for.
        m_hThread.Reset();
        m_bStopped = true;
        return true;
    }
    m_bRepliesStopped = true;
    if (_hExit)
        SetEvent(_hExit.Get());
    bool stopped = true;
    DWORD joinMs = kWorkerJoinMs;
    if (m_ullJoinDeadline != 0) {
        const ULONGLONG now = GetTickCount64();
        joinMs = now < m_ullJoinDeadline ? static_cast<DWORD>(m_ullJoinDeadline - now) : 0;
    }
    if (WaitForSingleObject(m_hThread.Get(), joinMs) != WAIT_OBJECT_0) {
        PYX_TRACE(L" DeallocateAndSetError: Failed killing thread.....\r\n");
        CServerLockGuard guard;
        if (!m_bWorkerDone) {
            m_bOrphaned = true;
            stopped = false;
            NoteThreadGivenUp();
        }
    }
    m_hThread.Reset();
    m_bStopped = stopped;
    return stopped;
}

void CFileRpc::DeallocateAndSetError(int nExtendedError, bool bDelete)
{
    m_bDeallocating = true;
    m_nExtendedErrorNumber = nExtendedError;
    m_nSystemErrorNumber = static_cast<int>(GetLastError());
    PYX_TRACE(L"DeallocateAndSetError++\r\n");
    if (nExtendedError != 0)
        PYX_TRACE(L" DeallocateAndSetError m_nExtendedErrorNumber = 0x%x, m_nSystemErrorNumber = 0x%x\r\n",
                  m_nExtendedErrorNumber, m_nSystemErrorNumber);
    const bool stopped = StopThread();

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
        // teardown (source, exit event, deletion) and does it when it ends.
        PYX_TRACE(L"DeallocateAndSetError--\r\n");
        return;
    }
    _hExit.Reset();
    m_pFile.reset();
    m_dwFileDescriptor = -1;
    PYX_TRACE(L"DeallocateAndSetError--\r\n");
    m_bDeallocating = false;
    if (bDelete)
        delete this;
}

void CFileRpc::WorkerExit()
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

namespace {

// One request. Its reply buffers are allocated without throwing; what little
// else a source allocates (a URL's request headers, a skip buffer) must not
// end the process either when memory runs out: the request is dropped with
// a log line and the worker goes on.
void ServeRequest(CFileRpc &file)
{
    try {
        file.ProcessFileRpc();
    } catch (const std::bad_alloc &) {
        PYX_TRACE(L"ProcessFileRpc: out of memory, the request is dropped\r\n");
    }
}

} // namespace

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
    for (;;) {
        ServeRequest(*file);
        if (file->m_nExtendedErrorNumber != 0) {
            LogTermination(file);
            break;
        }
        if (IsSignalled(file->_hExit.Get()))
            break;
    }
    PYX_TRACE(L"PyxFileThread terminated. Obj* = 0x%x\r\n", ObjectTag(file));
    file->WorkerExit();
    return 0;
}

// --- ICA --------------------------------------------------------------------

CFileRpcICA::CFileRpcICA() { m_pfnThreadProc = PyxFileThreadICA; }

unsigned char *CFileRpcICA::GetMessageBuffer() { return m_Request; }

uint32_t CFileRpcICA::GetMessageLength() { return m_dwRequestLength; }

void CFileRpcICA::TakeRequest()
{
    const uint32_t length = g_dwMessageLength.load(std::memory_order_acquire);
    m_dwRequestLength = length < kMessageBufferSize ? length : kMessageBufferSize;
    std::memcpy(m_Request, g_MessageBuffer, m_dwRequestLength);
    g_IcaHandoff.Release();
    SetEvent(g_hEventPassedOk);
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
    m_hChannel = g_hIcaChannel.load();
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
        // A signal left over from a withdrawn offer finds nothing to take.
        if (WaitForSingleObject(file->m_vcEvent.Get(), kIcaWorkerWaitMs) == WAIT_OBJECT_0 &&
            g_IcaHandoff.Take(file->m_nChannelNumber)) {
            // Busy before the buffer is given back, so the control thread's
            // next message for this channel already sees it.
            file->m_bInRequest.store(true, std::memory_order_release);
            file->TakeRequest();
            ServeRequest(*file);
            file->m_bInRequest.store(false, std::memory_order_release);
            if (file->m_nExtendedErrorNumber != 0) {
                LogTermination(file);
                break;
            }
        }
        if (IsSignalled(file->_hExit.Get()))
            break;
    }
    PYX_TRACE(L"PyxFileThread terminated. Obj* = 0x%x\r\n", ObjectTag(file));
    file->WorkerExit();
    return 0;
}
