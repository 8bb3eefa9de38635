// The client device: answers the server's solicitations with the client's
// parameters and runs the file sessions (OPEN, positioned READ, SEEK,
// CLOS). Every request carries a PSN of its own and its reply is matched by
// it and checked against the bytes received as the emulator checks them;
// a reply no request waits for is logged and ignored. A file has one
// request on its way at a time (a server may drop one that comes while its
// file's worker is still in a request, as on ICA): the rest wait in the
// device, a read the player waits for ahead of the blocks read ahead.
// Nothing blocks:
// requests complete through callbacks, from OnMessage or Tick, on the
// thread that feeds the core. A request without a reply by its deadline
// ends its file's session (its reads complete with TimedOut), never the
// client.
#pragma once

#include "client_ops.h"
#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct DeviceParams
{
    uint32_t readCap = 0;       // SEND: dwMaxBlockKB, 0 none
    uint32_t targetRate = 0;    // SEND: dwTargetRate in KB/s, 0 no adaptation
    uint32_t chunking = 1;      // SEND: dwChunking
    bool hasPolicy = false;     // send `policy` (else the word is 0)
    uint32_t policy = 0;
    uint32_t timeoutMs = 20000; // for any one reply; the server's own open deadline is 20 s
    size_t readAheadBlocks = 8; // most blocks a session keeps read ahead
};

enum class ReadStatus
{
    Ok,        // data, at most the count asked
    End,       // at or past the end of the file
    Failed,    // the server could not read (-1), or the request could not be sent
    TimedOut,  // no reply in time: the session has ended
    Closed,    // the session ended before the reply (closed, refused, a bad reply)
};

struct ReadResult
{
    ReadStatus status = ReadStatus::Failed;
    uint32_t offset = 0;
    std::vector<unsigned char> data;
};

class CClientDevice;

// One file opened on the server. Handed out as a shared_ptr; it is used only
// while the device that made it lives.
class CFileSession : public std::enable_shared_from_this<CFileSession>
{
public:
    enum class State { Opening, Open, Refused, Ended };
    using ReadDone = std::function<void(const ReadResult &)>;
    using SeekDone = std::function<void(bool ok, int32_t position)>;

    // Reads count bytes (lowered to kMaxReplyDataBytes) at offset (at most
    // INT32_MAX: positions are signed 32-bit on the wire). Served from a
    // block read ahead when one starts at offset.
    void Read(uint32_t offset, uint32_t count, ReadDone done);
    // Read-ahead: a read whose result is kept for a later Read at offset.
    void Prefetch(uint32_t offset, uint32_t count);
    // SEEK: position from origin 0 start, 1 current, 2 end; done gets the new one.
    void Seek(int32_t offset, int32_t origin, SeekDone done);
    // CLOS; what is still pending completes with Closed.
    void Close();

    State GetState() const { return m_state; }
    const std::u16string &Name() const { return m_name; }
    int32_t Descriptor() const { return m_fd; }
    int32_t Channel() const { return m_channel; }
    int32_t ExtendedError() const { return m_extendedError; }
    int32_t SystemError() const { return m_systemError; }
    // Why the session ended, empty while it runs or after a plain close.
    const std::string &EndReason() const { return m_endReason; }
    // When the OPEN went out (the device's clock): where a player's figures start.
    uint64_t OpenedAtMs() const { return m_openedAtMs; }

    CFileSession(CClientDevice &device, std::u16string name) : m_device(device), m_name(std::move(name)) {}
    CFileSession(const CFileSession &) = delete;
    CFileSession &operator=(const CFileSession &) = delete;

private:
    friend class CClientDevice;
    struct Block
    {
        uint32_t offset = 0;
        bool done = false;
        ReadResult result;
        ReadDone waiter;        // a Read that came while the block was on its way
        uint32_t waiterCount = 0;
    };
    void OnBlockDone(const std::shared_ptr<Block> &block, const ReadResult &r);
    // Hands the block's data to a Read of count bytes; what is left over
    // stays as a block of its own.
    void Take(std::shared_ptr<Block> block, uint32_t count, const ReadDone &done);
    void Forget(const std::shared_ptr<Block> &block);

    CClientDevice &m_device;
    std::u16string m_name;
    State m_state = State::Opening;
    int32_t m_fd = -1;
    int32_t m_channel = -1;
    int32_t m_extendedError = 0;
    int32_t m_systemError = 0;
    std::string m_endReason;
    uint64_t m_openedAtMs = 0;
    std::deque<std::shared_ptr<Block>> m_blocks;   // read ahead, oldest first
};

class CClientDevice
{
public:
    using OpenDone = std::function<void(const std::shared_ptr<CFileSession> &)>;

    CClientDevice(const DeviceParams &params, CClientChannelOps &channels, CClientClockOps &clock, CClientLogOps &log);
    ~CClientDevice();
    CClientDevice(const CClientDevice &) = delete;
    CClientDevice &operator=(const CClientDevice &) = delete;

    // The server's solicitation (checked by the caller): answers with SEND.
    void AnswerSolicitation();
    // A reply on a route other than the player's.
    void OnMessage(int32_t route, const unsigned char *msg, size_t n);
    // Ends what waited past its deadline; call it every few hundred ms.
    void Tick();
    // The session's channels are gone: every file session ends.
    void Disconnected();

    // OPEN of name (at most 259 units are sent); done is called once the
    // reply came (Open or Refused) or the open failed (Ended).
    std::shared_ptr<CFileSession> Open(const std::u16string &name, OpenDone done);

    bool ParametersAccepted() const { return m_bAccepted; }
    uint32_t ProtocolErrors() const { return m_protocolErrors; }
    uint32_t StrayReplies() const { return m_stray; }
    size_t PendingCount() const { return m_pending.size(); }

private:
    friend class CFileSession;
    // Abandoned: its session ended, a late reply is dropped quietly.
    // LateOpen: an OPEN that timed out; a late descriptor is closed again.
    enum class Kind { Send, Open, Close, Read, Seek, Abandoned, LateOpen };
    struct Pending
    {
        Kind kind = Kind::Abandoned;
        int32_t route = CHANNEL_CONTROL;
        uint32_t type = 0;
        uint64_t deadline = 0;
        std::shared_ptr<CFileSession> session;   // null for SEND and abandoned ones
        uint32_t offset = 0;                      // READ
        uint32_t count = 0;                       // READ
        bool urgent = false;                      // READ, SEEK: ahead of reads ahead
        OpenDone openDone;
        CFileSession::ReadDone readDone;
        CFileSession::SeekDone seekDone;
    };

    // Sends the request (its PSN set here) and files it; false when it
    // could not go (no free PSN, the channel refused it).
    bool Send(std::vector<unsigned char> request, Pending pending);
    bool NextPsn(uint32_t *psn);
    // urgent: ahead of the file's other waiting requests (a read the player waits for).
    void SendRead(const std::shared_ptr<CFileSession> &session, uint32_t offset, uint32_t count,
                  CFileSession::ReadDone done, bool urgent);
    void SendSeek(const std::shared_ptr<CFileSession> &session, int32_t offset, int32_t origin,
                  CFileSession::SeekDone done);
    void SendClose(int32_t fd);
    // A READ or SEEK of a file: sent, or held while the file has one on its way.
    bool SendForFile(std::vector<unsigned char> request, Pending pending, bool urgent);
    bool InFlight(const CFileSession &session) const;
    // The file's request came back: its next waiting one goes.
    void SendNext(const std::shared_ptr<CFileSession> &session);
    // Ends a session: its pending requests are abandoned and complete with
    // `status`; a session that had a descriptor is closed on the server.
    void EndSession(CFileSession &session, ReadStatus status, const std::string &why);
    void Complete(Pending &p, const ReadResult &r, bool seekOk, int32_t word);
    void ProtocolError(Pending &p, size_t n, const char *what);
    void Forget(const CFileSession &session);
    void Expire(uint32_t psn);

    void OnSendReply(const unsigned char *msg, size_t n);
    void OnOpenReply(Pending &p, const unsigned char *msg, size_t n);
    void OnCloseReply(Pending &p, const unsigned char *msg, size_t n);
    void OnReadReply(Pending &p, const unsigned char *msg, size_t n);
    void OnSeekReply(Pending &p, const unsigned char *msg, size_t n);

    DeviceParams m_params;
    CClientChannelOps &m_channels;
    CClientClockOps &m_clock;
    CClientLogOps &m_log;
    std::map<uint32_t, Pending> m_pending;   // by PSN
    struct Held
    {
        std::vector<unsigned char> request;
        Pending pending;
    };
    std::deque<Held> m_held;                 // files' requests waiting for their turn
    std::vector<std::shared_ptr<CFileSession>> m_sessions;   // opening or open
    uint32_t m_nextPsn = 1;
    bool m_bAccepted = false;
    uint32_t m_protocolErrors = 0;
    uint32_t m_stray = 0;
};
