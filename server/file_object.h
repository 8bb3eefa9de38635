// File objects: one per file a client player opened, with its data channel
// (slot 0 ... 9), its file source and its worker thread, and the table of
// them. The worker receives the file's requests and answers them through
// CFileRpcRequests. Portable: the worker thread, its exit signal and the
// data channel are the platform's part (file_rpc_win.h on Windows, fakes in the
// tests); the file source is MakeFileSource's (file_source.h).
//
// Slots: an open takes the lowest free slot. An object still opening holds
// its slot but is its opener's alone: no lookup finds it, no claim or
// hand-off takes it. A slot whose orphaned worker (below) still holds its
// channel goes to no new open until that worker ends.
//
// Teardown happens exactly once. Whoever starts it (the control thread for a
// close or at its end, or the worker after a channel error) first claims the
// object, which takes it out of g_FileRpcTable under the server lock; a
// claim fails for an object no longer in the table. A failed open never
// shows its object: it leaves the table still claimed by its opener, who
// alone deletes it. A worker that does not stop within 5000 ms is left to
// finish the teardown itself when it ends, so no thread ever uses a deleted
// object.
#pragma once

#include "control_dispatch.h"
#include "file_rpc_process.h"
#include "file_source.h"
#include "protocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

constexpr uint32_t kWorkerJoinMs = 5000;

// The server lock: guards g_FileRpcTable and the objects' table state. It
// lives as long as the process (never destroyed), so a worker that outlives
// its control thread can still take it safely.
std::mutex &ServerLock();

class CServerLockGuard
{
public:
    CServerLockGuard() : m_hold(ServerLock()) {}

private:
    std::lock_guard<std::mutex> m_hold;
};

// A thread that did not end within its wait (a file worker, an open, the
// control thread) still runs, and may use anything of the process: once one
// was given up, the program ends without static destruction.
void NoteThreadGivenUp();
bool AnyThreadGivenUp();

class CFileObject : public CFileRpcRequests
{
public:
    ~CFileObject() override = default;

    // Tears the object down: stops the worker, takes the object out of its
    // slot, lets go of the source and (bDelete) deletes it. A worker that
    // does not stop keeps the object and finishes the teardown itself.
    virtual void DeallocateAndSetError(int nExtendedError, bool bDelete);
    virtual bool VirtualChannelOpen(int nChannel) = 0;

    // Takes a slot, opens the data channel and the file, probes its size and
    // starts the worker. On false the fields tell the client why; *outcome
    // (optional) gets them in every case.
    bool FileRpcInit(const WireChar *name, FileOpenOutcome *outcome = nullptr);
    // Closes the source; its result, or -1 without one.
    int CloseFile();

    // Signals the worker to end without waiting for it; the teardown that
    // follows waits for it until `deadline` (Now) at the latest, instead of
    // 5000 ms. The control thread's final teardown signals every worker with
    // one deadline and then waits for all of them.
    void RequestStop(uint64_t deadline);

    // FileRpcInit is still at work (under the server lock).
    bool IsOpening() const { return m_bOpening; }

    // Tells this object from a later one that the allocator put at the same
    // address: whoever keeps a pointer to an object that others may delete
    // claims it by address and identity.
    uint64_t Identity() const { return m_ullIdentity; }

    // ICA: the worker has taken a request and not yet answered it. A message
    // for it meanwhile is dropped at once rather than offered: it would be
    // taken only when the request in hand is done, which on a stalled
    // download may be never.
    bool IsInRequest() const { return m_bInRequest.load(std::memory_order_acquire); }

    bool m_bDeallocating = false;

protected:
    CFileObject() = default;

    // --- the platform's part
    // The worker's exit signal: made by the open, set to ask the worker to
    // end, closed by a teardown that saw the worker stop (or with the object:
    // an orphaned worker still checks it).
    virtual bool CreateExitSignal() = 0;
    virtual void SetExitSignal() = 0;
    virtual bool IsExitSignalled() = 0;
    virtual void CloseExitSignal() = 0;
    // The source for a name (null without memory): MakeFileSource's, unless
    // a test puts in one of its own.
    virtual std::unique_ptr<CVirtualFileInterface> CreateFileSource(const WireChar *name)
    {
        return MakeFileSource(name);
    }
    // The worker thread, made suspended so that the object knows it before
    // it can run (and, on a channel error, tear the object down); resumed
    // once the object is handed over.
    virtual bool CreateWorker() = 0;
    virtual void ResumeWorker() = 0;
    virtual bool HasWorker() = 0;
    virtual bool IsWorkerThread() = 0;
    // True when the worker ended within ms.
    virtual bool JoinWorker(uint32_t ms) = 0;
    // Lets go of the thread (it runs on if it did not end).
    virtual void CloseWorker() = 0;
    // Milliseconds of a monotonic clock.
    virtual uint64_t Now() = 0;
    // Lets go of the data channel.
    virtual void ReleaseChannel() = 0;

    // The worker's loop: serves requests until a request fails the channel
    // or the exit signal is set, then WorkerExit.
    void RunWorker();
    // One request; a request that runs out of memory is dropped with a log
    // line and the worker goes on.
    void ServeRequest();
    void LogTermination() const;

    // Ends the worker: sets the exit signal and waits up to 5000 ms (or until
    // the deadline RequestStop gave). On the worker itself it only lets go of
    // the thread. False when the worker is still running; it then finishes
    // the teardown on its own.
    bool StopThread();
    // The worker's end: tears down the object unless someone else claimed
    // it; completes an abandoned teardown.
    void WorkerExit();

    // Set when a teardown begins: from then on the worker's replies are
    // not written (on ICA the shared channel may be closed or reopened by
    // the time a stalled read returns).
    std::atomic<bool> m_bRepliesStopped{false};
    std::atomic<bool> m_bInRequest{false};

private:
    friend bool ClaimFileObject(const CFileRpcRequests *file);
    friend bool ClaimFileObject(const CFileObject *file, uint64_t identity);
    friend int CloseClaimedFile(CFileObject *file);
    friend CFileObject *ClaimClassBySlot(int slot);
    template <class Match> friend CFileObject *ClaimFirst(Match match);

    uint64_t m_ullJoinDeadline = 0;   // 0: wait kWorkerJoinMs
    bool m_bClaimed = false;      // a teardown has been claimed (under the server lock)
    bool m_bWorkerDone = false;   // the worker has left its loop (under the server lock)
    bool m_bOrphaned = false;     // the worker must finish the teardown (under the server lock)
    bool m_bStopped = true;       // no worker runs that the teardown has to wait for
    int m_nHeldSlot = -1;         // the slot an orphaned worker keeps until it ends
    bool m_bOpening = false;      // FileRpcInit runs (under the server lock)
    const uint64_t m_ullIdentity = NextIdentity();

    static uint64_t NextIdentity();
};

// The file object table: ten slots, lowest free first.
extern CFileObject *g_FileRpcTable[kDataChannelCount];

// Plain lookups (first in slot order; -1 and stream 0 find nothing).
CFileObject *GetClassByFileDescriptor(int fd);
CFileObject *GetClassByFilePointer(uint32_t stream);

// Lookups that also claim the object's teardown, so that the caller's
// DeallocateAndSetError is the only one. Null when nothing matches or the
// object is already being torn down.
CFileObject *ClaimClassByFileDescriptor(int fd);
CFileObject *ClaimClassByFilePointer(uint32_t stream);
CFileObject *ClaimClassBySlot(int slot);
// Claims an object the caller knows (by address, never dereferenced unless
// it is still in the table). Only for an object that no other thread can
// have deleted meanwhile (its address then names nothing else); otherwise
// claim it with the identity it had.
bool ClaimFileObject(const CFileRpcRequests *file);
bool ClaimFileObject(const CFileObject *file, uint64_t identity);

// A close request for a claimed object: its worker is stopped first, so the
// source is never closed or freed under a read in progress; then the source
// is closed and the object torn down. Returns the source's close result. A
// worker that does not stop within its join time keeps the object and
// finishes the close itself when its read returns; the result is then -1.
int CloseClaimedFile(CFileObject *file);

// The worker of a slot as the ICA hand-off sees it: None without an object
// or while it is opening, Busy while its worker is inside a request.
CIcaRoutingOps::Worker WorkerOfSlot(int slot);

// The dispatch's file operations over the table: claims, closes and
// teardowns. Making an object and running its open are the platform's.
class CFileTableOps : public CControlFileOps
{
public:
    CFileRpcRequests *ClaimByDescriptor(int fd) override { return ClaimClassByFileDescriptor(fd); }
    CFileRpcRequests *ClaimByStream(uint32_t stream) override { return ClaimClassByFilePointer(stream); }
    bool Claim(CFileRpcRequests *file) override { return ClaimFileObject(file); }
    int CloseClaimed(CFileRpcRequests *file) override { return CloseClaimedFile(Object(file)); }
    void Discard(CFileRpcRequests *file) override { Object(file)->DeallocateAndSetError(0, true); }

protected:
    ~CFileTableOps() = default;
    // Every object the dispatch is given is one of the table's.
    static CFileObject *Object(CFileRpcRequests *file) { return static_cast<CFileObject *>(file); }
};
