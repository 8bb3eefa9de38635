#include "device_core.h"

#include "utf8.h"

#include <algorithm>
#include <utility>

namespace {

std::string Text(const std::u16string &name) { return Utf8Of(name, LoneSurrogate::Replace); }

std::string CodeText(uint32_t type)
{
    std::string code(4, '.');
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(type >> (8 * i));
        if (c >= 0x20 && c < 0x7F)
            code[static_cast<size_t>(i)] = static_cast<char>(c);
    }
    return code;
}

ReadResult Result(ReadStatus status, uint32_t offset)
{
    ReadResult r;
    r.status = status;
    r.offset = offset;
    return r;
}

} // namespace

// --- the file session ----------------------------------------------------------

void CFileSession::Read(uint32_t offset, uint32_t count, ReadDone done)
{
    if (m_state != State::Open) {
        done(Result(ReadStatus::Closed, offset));
        return;
    }
    if (offset > static_cast<uint32_t>(INT32_MAX)) {
        done(Result(ReadStatus::Failed, offset));
        return;
    }
    count = std::min(count, kMaxReplyDataBytes);
    if (count == 0) {
        done(Result(ReadStatus::Ok, offset));
        return;
    }
    for (const std::shared_ptr<Block> &block : m_blocks) {
        if (block->offset != offset)
            continue;
        if (block->done) {
            Take(block, count, done);
            return;
        }
        if (!block->waiter) {
            block->waiter = std::move(done);
            block->waiterCount = count;
            return;
        }
    }
    m_device.SendRead(shared_from_this(), offset, count, std::move(done), true);
}

void CFileSession::Prefetch(uint32_t offset, uint32_t count)
{
    if (m_state != State::Open || offset > static_cast<uint32_t>(INT32_MAX) || count == 0)
        return;
    for (const std::shared_ptr<Block> &block : m_blocks) {
        if (block->offset == offset)
            return;
    }
    if (m_blocks.size() >= m_device.m_params.readAheadBlocks) {
        // Room from the oldest block that is ready and wanted by no Read.
        const auto spare = std::find_if(m_blocks.begin(), m_blocks.end(),
                                        [](const std::shared_ptr<Block> &b) { return b->done && !b->waiter; });
        if (spare == m_blocks.end())
            return;
        m_blocks.erase(spare);
    }
    auto block = std::make_shared<Block>();
    block->offset = offset;
    m_blocks.push_back(block);
    m_device.SendRead(shared_from_this(), offset, std::min(count, kMaxReplyDataBytes),
                      [this, block](const ReadResult &r) { OnBlockDone(block, r); }, false);
}

void CFileSession::OnBlockDone(const std::shared_ptr<Block> &block, const ReadResult &r)
{
    block->done = true;
    block->result = r;
    ReadDone waiter = std::move(block->waiter);
    block->waiter = nullptr;
    if (r.status != ReadStatus::Ok && r.status != ReadStatus::End)
        Forget(block);   // a failure is not kept for later reads
    if (waiter)
        Take(block, block->waiterCount, waiter);
}

// By value: the block leaves the list it may be referred from.
void CFileSession::Take(std::shared_ptr<Block> block, uint32_t count, const ReadDone &done)
{
    Forget(block);
    ReadResult r = block->result;
    if (r.status == ReadStatus::Ok && r.data.size() > count) {
        auto rest = std::make_shared<Block>();
        rest->offset = block->offset + count;
        rest->done = true;
        rest->result = Result(ReadStatus::Ok, rest->offset);
        rest->result.data.assign(r.data.begin() + count, r.data.end());
        r.data.resize(count);
        m_blocks.push_front(rest);
    }
    done(r);
}

void CFileSession::Forget(const std::shared_ptr<Block> &block)
{
    m_blocks.erase(std::remove(m_blocks.begin(), m_blocks.end(), block), m_blocks.end());
}

void CFileSession::Seek(int32_t offset, int32_t origin, SeekDone done)
{
    if (m_state != State::Open) {
        done(false, -1);
        return;
    }
    m_device.SendSeek(shared_from_this(), offset, origin, std::move(done));
}

void CFileSession::Close()
{
    if (m_state == State::Open)
        m_device.EndSession(*this, ReadStatus::Closed, std::string());
    else if (m_state == State::Opening)
        m_state = State::Ended;   // the OPEN reply's descriptor is closed when it comes
}

// --- the device ------------------------------------------------------------------

CClientDevice::CClientDevice(const DeviceParams &params, CClientChannelOps &channels, CClientClockOps &clock,
                             CClientLogOps &log)
    : m_params(params), m_channels(channels), m_clock(clock), m_log(log)
{
}

CClientDevice::~CClientDevice()
{
    // A session handed out may outlive the device: it must not call it.
    for (const auto &session : m_sessions)
        session->m_state = CFileSession::State::Ended;
}

bool CClientDevice::NextPsn(uint32_t *psn)
{
    // Within 15 bits, as the server's own sequence numbers are; never one
    // still waited for, so a reply matches one request only.
    for (uint32_t tries = 0; tries < 32767; ++tries) {
        const uint32_t candidate = m_nextPsn;
        m_nextPsn = m_nextPsn % 32767 + 1;
        if (m_pending.find(candidate) == m_pending.end()) {
            *psn = candidate;
            return true;
        }
    }
    return false;
}

bool CClientDevice::Send(std::vector<unsigned char> request, Pending pending)
{
    uint32_t psn = 0;
    if (!NextPsn(&psn)) {
        LogLine(m_log, "client: no free sequence number, %s not sent", CodeText(MessageType(request.data())).c_str());
        return false;
    }
    StoreLE32(request.data() + hdr::kPSN, psn);
    pending.type = MessageType(request.data());
    pending.deadline = m_clock.NowMs() + m_params.timeoutMs;
    const int32_t route = pending.route;
    m_pending[psn] = std::move(pending);
    if (m_channels.Write(route, request.data(), request.size()))
        return true;
    m_pending.erase(psn);
    LogLine(m_log, "client: %s could not be written to route %d", CodeText(MessageType(request.data())).c_str(), route);
    return false;
}

void CClientDevice::AnswerSolicitation()
{
    Pending p;
    p.kind = Kind::Send;
    Send(BuildSendParams(m_params.hasPolicy ? m_params.policy : 0, m_params.readCap, m_params.targetRate,
                         m_params.chunking, 0),
         std::move(p));
}

std::shared_ptr<CFileSession> CClientDevice::Open(const std::u16string &name, OpenDone done)
{
    auto session = std::make_shared<CFileSession>(*this, name);
    session->m_openedAtMs = m_clock.NowMs();
    Pending p;
    p.kind = Kind::Open;
    p.session = session;
    p.openDone = done;
    if (!Send(BuildOpenRequest(name, 0), std::move(p))) {
        session->m_state = CFileSession::State::Ended;
        session->m_endReason = "OPEN could not be sent";
        done(session);
        return session;
    }
    m_sessions.push_back(session);
    return session;
}

bool CClientDevice::InFlight(const CFileSession &session) const
{
    for (const auto &entry : m_pending) {
        const Pending &p = entry.second;
        if (p.session.get() == &session && (p.kind == Kind::Read || p.kind == Kind::Seek))
            return true;
    }
    return false;
}

bool CClientDevice::SendForFile(std::vector<unsigned char> request, Pending pending, bool urgent)
{
    if (!InFlight(*pending.session))
        return Send(std::move(request), std::move(pending));
    Held held{std::move(request), std::move(pending)};
    if (urgent) {
        // After the file's other urgent ones, before its reads ahead.
        auto at = std::find_if(m_held.begin(), m_held.end(), [&](const Held &h) {
            return h.pending.session == held.pending.session && !h.pending.urgent;
        });
        m_held.insert(at, std::move(held));
    } else {
        m_held.push_back(std::move(held));
    }
    return true;
}

void CClientDevice::SendNext(const std::shared_ptr<CFileSession> &session)
{
    while (session->m_state == CFileSession::State::Open && !InFlight(*session)) {
        const auto it = std::find_if(m_held.begin(), m_held.end(),
                                     [&](const Held &h) { return h.pending.session == session; });
        if (it == m_held.end())
            return;
        Held held = std::move(*it);
        m_held.erase(it);
        Pending failed = held.pending;
        if (!Send(std::move(held.request), std::move(held.pending)))
            Complete(failed, Result(ReadStatus::Failed, failed.offset), false, -1);
    }
}

void CClientDevice::SendRead(const std::shared_ptr<CFileSession> &session, uint32_t offset, uint32_t count,
                             CFileSession::ReadDone done, bool urgent)
{
    Pending p;
    p.kind = Kind::Read;
    p.route = session->m_channel;
    p.session = session;
    p.offset = offset;
    p.count = count;
    p.readDone = done;
    p.urgent = urgent;
    if (!SendForFile(BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(session->m_fd), count, offset}, 0,
                                       session->m_channel),
                     std::move(p), urgent))
        done(Result(ReadStatus::Failed, offset));
}

void CClientDevice::SendSeek(const std::shared_ptr<CFileSession> &session, int32_t offset, int32_t origin,
                             CFileSession::SeekDone done)
{
    Pending p;
    p.kind = Kind::Seek;
    p.route = session->m_channel;
    p.session = session;
    p.seekDone = done;
    p.urgent = true;
    if (!SendForFile(BuildWordsRequest(PYXMSG_RPC_SEEK, {static_cast<uint32_t>(session->m_fd),
                                                         static_cast<uint32_t>(offset), static_cast<uint32_t>(origin)},
                                       0, session->m_channel),
                     std::move(p), true))
        done(false, -1);
}

void CClientDevice::SendClose(int32_t fd)
{
    Pending p;
    p.kind = Kind::Close;
    Send(BuildWordsRequest(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(fd)}, 0, CHANNEL_CONTROL), std::move(p));
}

void CClientDevice::Forget(const CFileSession &session)
{
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [&](const std::shared_ptr<CFileSession> &s) { return s.get() == &session; }),
                     m_sessions.end());
}

void CClientDevice::EndSession(CFileSession &session, ReadStatus status, const std::string &why)
{
    if (session.m_state == CFileSession::State::Ended)
        return;
    const bool hadFile = session.m_state == CFileSession::State::Open;
    session.m_state = CFileSession::State::Ended;
    session.m_endReason = why;
    if (!why.empty())
        LogLine(m_log, "client: file %s ended: %s", Text(session.m_name).c_str(), why.c_str());
    // Its requests stay filed, abandoned, so that late replies are dropped
    // quietly until their deadline; their callers hear now.
    std::vector<Pending> ended;
    for (auto &entry : m_pending) {
        Pending &p = entry.second;
        if (p.session.get() != &session || p.kind == Kind::Open)
            continue;
        ended.push_back(std::move(p));
        p = Pending{};
        p.kind = Kind::Abandoned;
        p.route = ended.back().route;
        p.type = ended.back().type;
        p.deadline = ended.back().deadline;
    }
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (it->pending.session.get() == &session) {
            ended.push_back(std::move(it->pending));
            it = m_held.erase(it);
        } else {
            ++it;
        }
    }
    session.m_blocks.clear();
    if (hadFile)
        SendClose(session.m_fd);
    // Hold the session while its callers hear: one of them may drop the last
    // reference elsewhere.
    const auto hold = session.shared_from_this();
    Forget(session);
    for (Pending &p : ended)
        Complete(p, Result(status, p.offset), false, -1);
}

void CClientDevice::Complete(Pending &p, const ReadResult &r, bool seekOk, int32_t word)
{
    switch (p.kind) {
    case Kind::Read:
        if (p.readDone)
            p.readDone(r);
        break;
    case Kind::Seek:
        if (p.seekDone)
            p.seekDone(seekOk, word);
        break;
    case Kind::Open:
        if (p.openDone)
            p.openDone(p.session);
        break;
    default:
        break;
    }
}

void CClientDevice::Disconnected()
{
    std::map<uint32_t, Pending> pending;
    pending.swap(m_pending);
    std::deque<Held> held;
    held.swap(m_held);
    auto sessions = std::move(m_sessions);
    m_sessions.clear();
    m_bAccepted = false;
    for (const auto &session : sessions) {
        session->m_state = CFileSession::State::Ended;
        session->m_endReason = "the session's channels are gone";
        session->m_blocks.clear();
    }
    if (!sessions.empty())
        LogLine(m_log, "client: disconnected, %zu file(s) ended", sessions.size());
    for (auto &entry : pending)
        Complete(entry.second, Result(ReadStatus::Closed, entry.second.offset), false, -1);
    for (Held &h : held)
        Complete(h.pending, Result(ReadStatus::Closed, h.pending.offset), false, -1);
}

void CClientDevice::Tick()
{
    const uint64_t now = m_clock.NowMs();
    std::vector<uint32_t> due;
    for (const auto &entry : m_pending) {
        if (entry.second.deadline <= now)
            due.push_back(entry.first);
    }
    // One at a time, looked up afresh: ending a session changes the table.
    for (uint32_t psn : due)
        Expire(psn);
}

void CClientDevice::Expire(uint32_t psn)
{
    const auto it = m_pending.find(psn);
    if (it == m_pending.end() || it->second.deadline > m_clock.NowMs())
        return;
    Pending p = std::move(it->second);
    m_pending.erase(it);
    const std::string code = CodeText(p.type);
    switch (p.kind) {
    case Kind::Send:
    case Kind::Close:
        LogLine(m_log, "client: no reply to %s in %u ms", code.c_str(), m_params.timeoutMs);
        break;
    case Kind::Open: {
        CFileSession &session = *p.session;
        const bool wanted = session.m_state == CFileSession::State::Opening;
        session.m_state = CFileSession::State::Ended;
        session.m_endReason = "no reply to OPEN";
        LogLine(m_log, "client: file %s ended: no reply to OPEN in %u ms", Text(session.m_name).c_str(),
                m_params.timeoutMs);
        Forget(session);
        // Still filed a while: a descriptor that comes late is closed again.
        Pending late;
        late.kind = Kind::LateOpen;
        late.type = p.type;
        late.deadline = p.deadline + m_params.timeoutMs;
        m_pending[psn] = std::move(late);
        if (wanted)
            Complete(p, ReadResult{}, false, -1);
        break;
    }
    case Kind::Read:
    case Kind::Seek: {
        const auto hold = p.session;
        Pending late;
        late.route = p.route;
        late.type = p.type;
        late.deadline = p.deadline + m_params.timeoutMs;
        m_pending[psn] = std::move(late);
        Complete(p, Result(ReadStatus::TimedOut, p.offset), false, -1);
        EndSession(*hold, ReadStatus::TimedOut, "no reply to " + code + " in " + std::to_string(m_params.timeoutMs) + " ms");
        break;
    }
    default:   // abandoned: nothing waits for it any more
        break;
    }
}

// --- replies ------------------------------------------------------------------------

void CClientDevice::OnMessage(int32_t route, const unsigned char *msg, size_t n)
{
    if (n < kHeaderSize) {
        ++m_protocolErrors;
        LogLine(m_log, "client: short message of %zu bytes on route %d, dropped", n, route);
        return;
    }
    const MessageHeader h = LoadHeader(msg);
    const auto it = m_pending.find(h.dwPSN);
    // A reply answers its request's code on its request's route; anything
    // else is a stray, whatever PSN it carries, and leaves the request be.
    if (it == m_pending.end() || it->second.route != route || it->second.type != h.dwMessageType ||
        h.dwChannelNumber != route) {
        ++m_stray;
        LogLine(m_log, "client: %s of %zu bytes with PSN %u on route %d (channel %d) answers no request, ignored",
                CodeText(h.dwMessageType).c_str(), n, h.dwPSN, route, h.dwChannelNumber);
        return;
    }
    Pending p = std::move(it->second);
    m_pending.erase(it);
    switch (p.kind) {
    case Kind::Send: OnSendReply(msg, n); break;
    case Kind::Open: OnOpenReply(p, msg, n); break;
    case Kind::LateOpen: OnOpenReply(p, msg, n); break;
    case Kind::Close: OnCloseReply(p, msg, n); break;
    case Kind::Read: OnReadReply(p, msg, n); break;
    case Kind::Seek: OnSeekReply(p, msg, n); break;
    default: break;   // abandoned: its session has ended
    }
    if ((p.kind == Kind::Read || p.kind == Kind::Seek) && p.session)
        SendNext(p.session);
}

void CClientDevice::ProtocolError(Pending &p, size_t n, const char *what)
{
    ++m_protocolErrors;
    const std::string code = CodeText(p.type);
    LogLine(m_log, "client: bad %s reply of %zu bytes: %s", code.c_str(), n, what);
    if (!p.session)
        return;
    // A file whose server answers nonsense is not read on.
    const auto hold = p.session;
    if (p.kind == Kind::Open) {
        const bool wanted = hold->m_state == CFileSession::State::Opening;
        if (hold->m_fd != -1) {
            // It has a descriptor on the server: close it there.
            hold->m_state = CFileSession::State::Open;
            EndSession(*hold, ReadStatus::Closed, "bad reply to OPEN");
        } else {
            hold->m_state = CFileSession::State::Ended;
            hold->m_endReason = "bad reply to OPEN";
            Forget(*hold);
        }
        if (wanted)
            Complete(p, ReadResult{}, false, -1);
        return;
    }
    Complete(p, Result(ReadStatus::Closed, p.offset), false, -1);
    EndSession(*hold, ReadStatus::Closed, "bad " + code + " reply");
}

void CClientDevice::OnSendReply(const unsigned char *msg, size_t n)
{
    if (n != kIntMessageSize || LoadLE32s(msg + 32) != 0) {
        ++m_protocolErrors;
        LogLine(m_log, "client: bad SEND reply of %zu bytes: the parameters were not taken", n);
        return;
    }
    m_bAccepted = true;
}

void CClientDevice::OnOpenReply(Pending &p, const unsigned char *msg, size_t n)
{
    OpenReply reply{};
    if (!ReadOpenReply(msg, static_cast<uint32_t>(n), &reply)) {
        if (p.kind == Kind::Open)
            ProtocolError(p, n, "not 48 bytes");
        else
            ++m_protocolErrors;
        return;
    }
    const int32_t fd = reply.fileDesc;
    const int32_t channel = reply.channel;
    if (p.kind == Kind::LateOpen || p.session->m_state != CFileSession::State::Opening) {
        // Nobody wants this file any more (timed out, or closed meanwhile).
        if (p.session)
            Forget(*p.session);
        if (fd != -1)
            SendClose(fd);
        return;
    }
    CFileSession &session = *p.session;
    session.m_extendedError = reply.extendedError;
    session.m_systemError = reply.systemError;
    if (fd == -1) {
        session.m_state = CFileSession::State::Refused;
        LogLine(m_log, "client: OPEN of %s refused: extended 0x%x, system %d", Text(session.m_name).c_str(),
                static_cast<unsigned>(session.m_extendedError), session.m_systemError);
        Forget(session);
        Complete(p, ReadResult{}, false, -1);
        return;
    }
    session.m_fd = fd;
    const bool taken = std::any_of(m_sessions.begin(), m_sessions.end(), [&](const std::shared_ptr<CFileSession> &s) {
        return s.get() != &session && s->m_state == CFileSession::State::Open && s->m_channel == channel;
    });
    if (!IsDataChannel(channel) || taken) {
        ProtocolError(p, n, taken ? "data channel of another open file" : "no data channel");
        return;
    }
    session.m_channel = channel;
    session.m_state = CFileSession::State::Open;
    Complete(p, ReadResult{}, false, -1);
}

void CClientDevice::OnCloseReply(Pending &p, const unsigned char *msg, size_t n)
{
    if (n != kIntMessageSize)
        ProtocolError(p, n, "not 36 bytes");
    else if (LoadLE32s(msg + 32) < 0)
        LogLine(m_log, "client: CLOS answered %d", LoadLE32s(msg + 32));
}

void CClientDevice::OnReadReply(Pending &p, const unsigned char *msg, size_t n)
{
    if (n < kReplyDataOffset) {
        ProtocolError(p, n, "shorter than its result word");
        return;
    }
    const int32_t got = LoadLE32s(msg + 32);
    if (got == -1 && n == kReplyDataOffset) {
        Complete(p, Result(ReadStatus::Failed, p.offset), false, -1);
        return;
    }
    // The count first: it bounds the sum below.
    if (got < 0 || static_cast<uint32_t>(got) > p.count || n != kReplyDataOffset + static_cast<uint32_t>(got)) {
        ProtocolError(p, n, "its result and size disagree with the request");
        return;
    }
    ReadResult r = Result(got == 0 ? ReadStatus::End : ReadStatus::Ok, p.offset);
    r.data.assign(msg + kReplyDataOffset, msg + n);
    Complete(p, r, false, -1);
}

void CClientDevice::OnSeekReply(Pending &p, const unsigned char *msg, size_t n)
{
    if (n != kIntMessageSize) {
        ProtocolError(p, n, "not 36 bytes");
        return;
    }
    const int32_t position = LoadLE32s(msg + 32);
    Complete(p, ReadResult{}, position >= 0, position);
}
