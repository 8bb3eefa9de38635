// The file objects on Windows: the worker is a thread of the process, its
// exit signal an event; RDP files have a data channel of their own, ICA
// files a hand-off event and the session's one channel (opened by the
// control thread). Slots, claims and teardown are CFileObject's
// (file_object.h).
#pragma once

#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "file_object.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "session.h"
#include "handle_win.h"

#include <windows.h>

#include <atomic>
#include <memory>

constexpr DWORD kIcaWorkerWaitMs = 500;

class CFileRpc;
using FileThreadProc = DWORD(WINAPI *)(LPVOID);

DWORD WINAPI PyxFileThread(LPVOID lpParameter);
DWORD WINAPI PyxFileThreadICA(LPVOID lpParameter);

class CFileRpc : public CFileObject
{
public:
    // Virtual operations, in slot order. The worker's step is
    // ProcessFileRpc (CFileRpcRDP reads the next request first).
    unsigned char *GetMessageBuffer() override = 0;
    bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) override = 0;
    virtual bool ChannelRead(void *buffer, uint32_t size, uint32_t *received) = 0;

    int LastOsError() override { return static_cast<int>(GetLastError()); }

    using OpenOutcome = FileOpenOutcome;
    using CFileObject::FileRpcInit;
    bool FileRpcInit(const wchar_t *name, OpenOutcome *outcome = nullptr)
    {
        static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows wide strings are UTF-16");
        return FileRpcInit(reinterpret_cast<const WireChar *>(name), outcome);
    }

    FileThreadProc m_pfnThreadProc = nullptr;
    // Closed by a teardown that saw the worker stop, or with the object: an
    // orphaned worker still checks _hExit, so it lives until that worker ends.
    CHandle _hExit;

    // The thread serving the worker, 0 before it started or after it ended.
    DWORD WorkerThreadId() const;

protected:
    CFileRpc() = default;

    bool CreateExitSignal() override;
    void SetExitSignal() override;
    bool IsExitSignalled() override;
    void CloseExitSignal() override { _hExit.Reset(); }
    // The worker runs on a parked thread (parked_threads_win.h), held at its
    // gate until ResumeWorker.
    bool CreateWorker() override;
    void ResumeWorker() override;
    bool HasWorker() override { return static_cast<bool>(m_pWorker); }
    bool IsWorkerThread() override;
    bool JoinWorker(uint32_t ms) override;
    // Let go by StopThread, also when the worker is left running.
    void CloseWorker() override;
    uint64_t Now() override { return GetTickCount64(); }

private:
    friend DWORD WINAPI PyxFileThread(LPVOID);
    friend DWORD WINAPI PyxFileThreadICA(LPVOID);
    struct CWorkerGate;

    // Shared with the worker's thread, which outlives the object when it
    // tears the object down itself.
    std::shared_ptr<CWorkerGate> m_pWorker;
    std::atomic<bool> m_bExitSet{false};   // set with _hExit
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
        SetChunking(ClientParameters().dwChunking.load());
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
    explicit CFileRpcICA(std::shared_ptr<CIcaShare> share);

    void DeallocateAndSetError(int nExtendedError, bool bDelete) override;
    unsigned char *GetMessageBuffer() override;
    uint32_t GetMessageLength() override;
    bool VirtualChannelOpen(int nChannel) override;
    bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) override
    {
        // The request is done once its reply goes out: the client's next
        // one, sent as soon as this reply arrives, must find the worker free.
        m_bInRequest.store(false, std::memory_order_release);
        SetChunking(ClientParameters().dwChunking.load());
        return CIcaChannelIO::ChannelWriteUnless(m_bRepliesStopped, buffer, length, written);
    }
    bool ChannelRead(void *buffer, uint32_t size, uint32_t *received) override
    {
        return CIcaChannelIO::ChannelRead(buffer, size, received);
    }
    // True when the control thread's buffer was offered to this file's
    // channel and is now its own.
    bool TakeOffered() { return m_pShare->handoff.Take(m_nChannelNumber); }
    // Takes the offered request out of the control thread's buffer into the
    // object's own and gives the buffer back at once, so a read that stalls
    // holds up no other file and no control message.
    void TakeRequest();

    CHandle m_vcEvent;   // closed by ReleaseChannel

protected:
    void ReleaseChannel() override;

private:
    std::shared_ptr<CIcaShare> m_pShare;
    alignas(8) unsigned char m_Request[kMessageBufferSize] = {};
    uint32_t m_dwRequestLength = 0;
};

// A new file object of the session's kind with the session's client
// parameters (and, on ICA, its share), or null.
CFileRpc *CreateInstance(SessionKind kind, const ClientParametersPtr &parameters,
                         const std::shared_ptr<CIcaShare> &share);
