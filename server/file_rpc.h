// File objects: one per file a client player opened, with its data channel
// (slot 0 ... 9), its file source and its worker thread. The worker receives
// the file's requests and answers them through CFileRpcRequests.
//
// Teardown happens exactly once. Whoever starts it (the control thread for a
// close or at its end, or the worker after a channel error) first claims the
// object, which takes it out of g_FileRpcTable under the server lock; a
// claim fails for an object no longer in the table. A worker that does not
// stop within 5000 ms is left to finish the teardown itself when it ends, so
// no thread ever uses a deleted object.
#pragma once

#include "channel_ica.h"
#include "channel_rdp.h"
#include "file_rpc_process.h"
#include "protocol.h"
#include "win/handle.h"

#include <windows.h>

#include <atomic>

constexpr DWORD kWorkerJoinMs = 5000;
constexpr DWORD kIcaWorkerWaitMs = 500;

class CFileRpc;
using FileThreadProc = DWORD(WINAPI *)(LPVOID);

DWORD WINAPI PyxFileThread(LPVOID lpParameter);
DWORD WINAPI PyxFileThreadICA(LPVOID lpParameter);

class CFileRpc : public CFileRpcRequests
{
public:
    ~CFileRpc() override;

    // Virtual operations, in slot order. The worker's step is
    // ProcessFileRpc (CFileRpcRDP reads the next request first).
    virtual void DeallocateAndSetError(int nExtendedError, bool bDelete);
    unsigned char *GetMessageBuffer() override = 0;
    virtual bool VirtualChannelOpen(int nChannel) = 0;
    bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) override = 0;
    virtual bool ChannelRead(void *buffer, uint32_t size, uint32_t *received) = 0;

    int LastOsError() override { return static_cast<int>(GetLastError()); }

    using OpenOutcome = FileOpenOutcome;

    // Takes a slot, opens the data channel and the file, probes its size and
    // starts the worker. On false the fields tell the client why; *outcome
    // (optional) gets them in every case.
    bool FileRpcInit(const wchar_t *name, OpenOutcome *outcome = nullptr);
    // Closes the source; its result, or -1 without one.
    int CloseFile();

    // Signals the worker to end without waiting for it; the teardown that
    // follows waits for it until `deadline` (GetTickCount64) at the latest,
    // instead of 5000 ms. The control thread's final teardown signals every
    // worker with one deadline and then waits for all of them.
    void RequestStop(ULONGLONG deadline);

    // FileRpcInit is still at work (under the server lock): the object holds
    // its slot but is its opener's alone, so no lookup finds it and no
    // teardown claims it.
    bool IsOpening() const { return m_bOpening; }

    // ICA: the worker has taken a request and not yet answered it. A message
    // for it meanwhile is dropped at once rather than offered: it would be
    // taken only when the request in hand is done, which on a stalled
    // download may be never.
    bool IsInRequest() const { return m_bInRequest.load(std::memory_order_acquire); }

    FileThreadProc m_pfnThreadProc = nullptr;
    bool m_bDeallocating = false;
    // Closed by a teardown that saw the worker stop, or with the object: an
    // orphaned worker still checks _hExit, so it lives until that worker ends.
    CHandle _hExit;
    // Closed by StopThread, also when the worker is left running.
    CHandle m_hThread;

protected:
    CFileRpc() = default;

    // Set when a teardown begins: from then on the worker's replies are
    // not written (on ICA the shared channel may be closed or reopened by
    // the time a stalled read returns).
    std::atomic<bool> m_bRepliesStopped{false};
    std::atomic<bool> m_bInRequest{false};

    // Ends the worker: signals _hExit and waits up to 5000 ms (or until the
    // deadline RequestStop gave). On the worker
    // itself it only lets go of the handle. False when the worker is still
    // running; it then finishes the teardown on its own.
    bool StopThread();
    // Lets go of the data channel (RDP) or the hand-off event (ICA).
    virtual void ReleaseChannel() = 0;
    // The worker's end: tears down the object unless someone else claimed
    // it; completes an abandoned teardown.
    void WorkerExit();

private:
    friend DWORD WINAPI PyxFileThread(LPVOID);
    friend DWORD WINAPI PyxFileThreadICA(LPVOID);
    friend bool ClaimFileObject(CFileRpc *file);
    friend int CloseClaimedFile(CFileRpc *file);
    friend CFileRpc *ClaimClassBySlot(int slot);
    template <class Match> friend CFileRpc *ClaimFirst(Match match);

    DWORD m_dwThreadId = 0;
    ULONGLONG m_ullJoinDeadline = 0;   // 0: wait kWorkerJoinMs
    bool m_bClaimed = false;      // a teardown has been claimed (under the server lock)
    bool m_bWorkerDone = false;   // the worker has left its loop (under the server lock)
    bool m_bOrphaned = false;     // the worker must finish the teardown (under the server lock)
    bool m_bStopped = true;       // no worker runs that the teardown has to wait for
    int m_nHeldSlot = -1;         // the slot an orphaned worker keeps until it ends
    bool m_bOpening = false;      // FileRpcInit runs (under the server lock)
};

class CFileRpcRDP : public CFileRpc, public CRdpChannelIO
{
public:
    CFileRpcRDP();

    void ProcessFileRpc() override { ReadAndProcess(); }
    void DeallocateAndSetError(int nExtendedError, bool bDelete) override;
    unsigned char *GetMessageBuffer() override { return m_Buffer; }
    uint32_t GetMessageLength() override { return m_dwReceived; }
    bool VirtualChannelOpen(int nChannel) override;
    bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) override
    {
        return CChannelIO::ChannelWrite(buffer, length, written);
    }
    bool ChannelRead(void *buffer, uint32_t size, uint32_t *received) override
    {
        return CRdpChannelIO::ChannelRead(buffer, size, received);
    }
    void ReadAndProcess();

protected:
    void ReleaseChannel() override;

private:
    uint32_t m_dwReceived = 0;
    alignas(8) unsigned char m_Buffer[kMessageBufferSize];
};

class CFileRpcICA : public CFileRpc, public CIcaChannelIO
{
public:
    CFileRpcICA();

    void DeallocateAndSetError(int nExtendedError, bool bDelete) override;
    unsigned char *GetMessageBuffer() override;
    uint32_t GetMessageLength() override;
    bool VirtualChannelOpen(int nChannel) override;
    bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) override
    {
        // The request is done once its reply goes out: the client's next
        // one, sent as soon as this reply arrives, must find the worker free.
        m_bInRequest.store(false, std::memory_order_release);
        return CIcaChannelIO::ChannelWriteUnless(m_bRepliesStopped, buffer, length, written);
    }
    bool ChannelRead(void *buffer, uint32_t size, uint32_t *received) override
    {
        return CIcaChannelIO::ChannelRead(buffer, size, received);
    }
    // Takes the offered request out of the control thread's buffer into the
    // object's own and gives the buffer back at once, so a read that stalls
    // holds up no other file and no control message.
    void TakeRequest();

    CHandle m_vcEvent;   // closed by ReleaseChannel

protected:
    void ReleaseChannel() override;

private:
    alignas(8) unsigned char m_Request[kMessageBufferSize] = {};
    uint32_t m_dwRequestLength = 0;
};

// The file object table: ten slots, lowest free first.
extern CFileRpc *g_FileRpcTable[kDataChannelCount];

// A new file object of the session's kind, or null.
CFileRpc *CreateInstance(bool bIca);

// Plain lookups (first in slot order; -1 and stream 0 find nothing).
CFileRpc *GetClassByFileDescriptor(int fd);
CFileRpc *GetClassByFilePointer(uint32_t stream);

// Lookups that also claim the object's teardown, so that the caller's
// DeallocateAndSetError is the only one. Null when nothing matches or the
// object is already being torn down.
CFileRpc *ClaimClassByFileDescriptor(int fd);
CFileRpc *ClaimClassByFilePointer(uint32_t stream);
CFileRpc *ClaimClassBySlot(int slot);
// Claims an object the caller knows (by address, never dereferenced unless
// it is still in the table).
bool ClaimFileObject(CFileRpc *file);

// A close request for a claimed object: its worker is stopped first, so the
// source is never closed or freed under a read in progress; then the source
// is closed and the object torn down. Returns the source's close result. A
// worker that does not stop within its join time keeps the object and
// finishes the close itself when its read returns; the result is then -1.
int CloseClaimedFile(CFileRpc *file);
