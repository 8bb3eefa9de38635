// The control channel's dispatch: what the control thread does with each
// message it reads. SEND sets the client's parameters, OPEN opens a file on a
// thread of its own and waits for it until 20 s after the OPEN arrived (a
// file of a local disk, which cannot hang, is opened at once), CLOS and FCLO
// close a file; on ICA, messages for a data channel are handed to
// that channel's worker. Every message is checked against the bytes received.
//
// Portable: the control channel, the file objects, the open's thread, the
// hand-off's wake-ups, the clock and the exit signal sit behind the operation
// sets below (control_ops_win.cpp and ica_routing_win.cpp on Windows, fakes in
// the tests).
#pragma once

#include "file_rpc_process.h"
#include "ica_handoff.h"
#include "protocol.h"
#include "session.h"

#include <atomic>
#include <cstdint>
#include <memory>

// How long an OPEN may take, counted from its arrival, and the system error
// its reply carries after that (the platform's time-out, ERROR_INTERNET_TIMEOUT).
constexpr uint32_t kOpenDeadlineMs = 20000;
constexpr int32_t kOpenTimedOutError = 12002;

// How long a routed message waits for its worker to give the buffer back.
constexpr uint32_t kHandoffWaitMs = 1500;
// How long a message waits for a worker still in its previous request.
constexpr uint32_t kBusyGraceMs = 50;

// An open running on its thread, as the control thread waits for it.
class CPendingOpen
{
public:
    enum class Outcome { Done, TimedOut, Exited };

    virtual ~CPendingOpen() = default;
    // Waits for the open until `deadline` (milliseconds of the control
    // thread's clock) or the exit signal. On TimedOut and Exited the open is
    // given up: its file belongs to the open's thread from then on.
    virtual Outcome Wait(uint64_t deadline) = 0;
    // After Done: what the open returned and reported.
    virtual bool Opened() const = 0;
    virtual FileOpenOutcome Result() const = 0;
};

// The control channel, and what a client's parameters change beyond the
// process-wide settings.
class CControlChannelOps
{
public:
    // Writes one whole message; false unless all of it went out.
    virtual bool WriteReply(void *message, uint32_t length) = 0;
    // The control channel's own chunking.
    virtual void SetChunking(uint32_t flag) = 0;
    // A policy with kPolicyApply: the settings boxes are set and locked.
    virtual void ApplyClientPolicy(uint32_t policy) = 0;

protected:
    ~CControlChannelOps() = default;
};

// The file objects (file_rpc_win.h on Windows). A claimed object is its
// claimer's alone: it is closed or discarded exactly once, by the claimer.
class CControlFileOps
{
public:
    // A new file object of the session's kind, or null.
    virtual CFileRpcRequests *CreateFileObject() = 0;
    // Starts the open of `name` for `file` on a thread of its own, or (an
    // open that cannot hang) runs it before returning; null, the file
    // untouched and *systemError the platform's error, when no thread could
    // be had.
    virtual std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *file, const WireChar *name,
                                                    int32_t *systemError) = 0;
    // Lookups that claim the object (null when nothing matches, it is still
    // opening or already claimed).
    virtual CFileRpcRequests *ClaimByDescriptor(int fd) = 0;
    virtual CFileRpcRequests *ClaimByStream(uint32_t stream) = 0;
    // Claims an object the caller knows, unless its worker or a teardown
    // took it meanwhile.
    virtual bool Claim(CFileRpcRequests *file) = 0;
    // Closes a claimed object's source once its worker stopped, and tears it
    // down; the close's result, -1 when the worker keeps it to finish later.
    virtual int CloseClaimed(CFileRpcRequests *file) = 0;
    // Tears down an object the caller owns (claimed, or never served).
    virtual void Discard(CFileRpcRequests *file) = 0;

protected:
    ~CControlFileOps() = default;
};

// ICA: the workers as the hand-off sees them, the clock and the exit signal.
class CIcaRoutingOps
{
public:
    enum class Worker { None, Busy, Ready };

    // The worker of data channel n: None without a file (or one still
    // opening), Busy while it is inside a request.
    virtual Worker WorkerOf(int channel) = 0;
    // Makes the wake-up of channel n's worker (its hand-off event) on first
    // use; false when it cannot be made.
    virtual bool PrepareWake(int channel) = 0;
    virtual void Wake(int channel) = 0;
    // Waits at most ms for a worker to give a message back.
    virtual void WaitPassed(uint32_t ms) = 0;
    // Milliseconds of a monotonic clock.
    virtual uint64_t Now() = 0;
    virtual bool IsExitSet() = 0;

protected:
    ~CIcaRoutingOps() = default;
};

// The ICA buffer's hand-off: the message in the buffer, n bytes, goes to the
// worker of `channel`. A channel without a file drops it at once with a log
// line, and so does one whose worker is still in a request kBusyGraceMs on.
// True when the worker took it and gave the buffer back within
// kHandoffWaitMs; on a time-out a worker that has taken the message is
// waited for (the buffer is never reused under it) until the exit signal.
bool PassTheMessage(int channel, uint32_t n, CIcaRoutingOps &ops, CSharedMessage &message);

// Waits until no worker holds the buffer, or the exit signal.
void WaitForBufferReturned(CIcaRoutingOps &ops, const CIcaBufferHandoff &handoff);

class CControlDispatch
{
public:
    // `message` holds what the control channel reads; on ICA it is shared
    // with the workers. Each SEND is written into `parameters`.
    CControlDispatch(SessionKind kind, CSharedMessage &message, CClientParameters &parameters,
                     CControlChannelOps &channel, CControlFileOps &files, CIcaRoutingOps &routing);

    // One read of n bytes into the buffer, arrived at `arrived` (milliseconds
    // of the control thread's clock, GetTickCount64 on Windows). False when
    // the control thread has to end: a reply could not be written, or no
    // file object could be made.
    bool OnReceived(uint32_t n, uint64_t arrived);

private:
    bool Dispatch(uint32_t n, uint64_t arrived);
    bool OnSendParams(uint32_t n);
    bool OnOpen(uint32_t n, uint64_t arrived);
    bool OnClose(uint32_t n, bool byStream);

    SessionKind m_kind;
    CSharedMessage &m_message;
    unsigned char *m_pBuffer;
    CClientParameters &m_parameters;
    CControlChannelOps &m_channel;
    CControlFileOps &m_files;
    CIcaRoutingOps &m_routing;
};
