#include "client_device.h"
#include "pipe_io.h"
#include "text_format.h"

#include "player_check.h"
#include "protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace loopback {

namespace {

using Clock = std::chrono::steady_clock;

bool IsSolicitation(const ReceivedMessage &m)
{
    return CheckPlayerMessage(m.bytes.data(), m.bytes.size()).kind == PlayerMessage::kSolicitation;
}

double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::wstring Widen(const std::string &s)
{
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

// A small deterministic generator for the access mix (xorshift32).
class Mix
{
public:
    explicit Mix(uint32_t seed) : m_state(seed ? seed : 1) {}
    uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }

private:
    uint32_t m_state;
};

int32_t Word(const ReceivedMessage &m, size_t at)
{
    return m.bytes.size() >= at + 4 ? LoadLE32s(m.bytes.data() + at) : INT32_MIN;
}

// The bytes a file is checked against, loaded once per path and shared by
// every file that reads it.
class Sources
{
public:
    std::shared_ptr<const std::vector<unsigned char>> Get(const std::wstring &path)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto &entry = m_loaded[path];
        if (!entry)
            entry = LoadSourceFile(path);
        return entry;
    }

private:
    std::mutex m_lock;
    std::map<std::wstring, std::shared_ptr<const std::vector<unsigned char>>> m_loaded;
};

Sources g_Sources;

void Fail(FileReport *r, std::string why)
{
    if (r->error.empty())
        r->error = std::move(why);
    r->ok = false;
}

} // namespace

std::shared_ptr<const std::vector<unsigned char>> LoadSourceFile(const std::wstring &path)
{
    FILE *f = _wfopen(path.c_str(), L"rb");
    if (!f)
        return nullptr;
    auto bytes = std::make_shared<std::vector<unsigned char>>();
    unsigned char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        bytes->insert(bytes->end(), block, block + n);
    std::fclose(f);
    return bytes;
}

std::string FileReport::Line() const
{
    return Format("file %d: name=%s fd=%d channel=%d bytes=%llu requests=%u chunked=%u first_byte_ms=%.1f "
                  "mismatches=%u protocol_errors=%u result=%s%s%s",
                  index, Utf8Of(name, LoneSurrogate::Replace).c_str(), fileDesc, channel, static_cast<unsigned long long>(bytes), requests,
                  chunked, firstByteMs, mismatches, protocolErrors, ok ? "ok" : "fail", error.empty() ? "" : " ",
                  error.c_str());
}

std::string DeviceSummary::Line() const
{
    return Format("summary: files=%u bytes=%llu seconds=%.3f MBps=%.2f requests=%u chunked=%u chunk_errors=%u "
                  "mismatches=%u protocol_errors=%u result=%s%s%s reconnects=%u",
                  files, static_cast<unsigned long long>(bytes), seconds, mbps, requests, chunked, chunkErrors,
                  mismatches, protocolErrors, ok ? "ok" : "fail", error.empty() ? "" : " ", error.c_str(), reconnects);
}

// --- channels and routing ---------------------------------------------------

ClientDevice::ClientDevice(bool ica) : m_bIca(ica), m_channels(MakeChannels()) {}

ClientDevice::~ClientDevice() { Stop(); }

ClientDevice::Channels ClientDevice::MakeChannels() const
{
    Channels c;
    if (m_bIca) {
        // One channel for everything; an instance per open of it.
        c.control = std::make_shared<ChannelServer>(kIcaChannelName, 4);
    } else {
        c.control = std::make_shared<ChannelServer>(kRdpControlChannelName, 1);
        c.player = std::make_shared<ChannelServer>(kRdpPlayerChannelName, 2);
        for (int n = 0; n < kDataChannelCount; ++n) {
            char name[8];
            RdpDataChannelName(n, name, sizeof name);
            c.data.push_back(std::make_shared<ChannelServer>(name, 1));
        }
    }
    return c;
}

// Starts the channels, each routing what it reads.
bool ClientDevice::Listen(const Channels &channels, std::string *error)
{
    std::vector<std::pair<std::shared_ptr<ChannelServer>, int>> all{{channels.control, m_bIca ? kNoRoute : int(kControl)}};
    if (channels.player)
        all.emplace_back(channels.player, int(kPlayer));
    for (size_t n = 0; n < channels.data.size(); ++n)
        all.emplace_back(channels.data[n], static_cast<int>(n));
    m_bRouteStop = false;
    for (auto &[server, route] : all) {
        ChannelServer *from = server.get();   // the channel outlives its reading threads
        const int r = route;
        server->SetSink([this, from, r](ReceivedMessage &&m) { Route(*from, r, std::move(m)); });
        if (!server->Start()) {
            if (error)
                *error = Format("cannot listen on %s (%lu)", server->Channel().c_str(), GetLastError());
            return false;
        }
    }
    return true;
}

// Every channel closes; its reading threads, which route, end with it.
void ClientDevice::StopListening()
{
    m_bRouteStop = true;
    Channels channels;
    {
        std::lock_guard<std::mutex> hold(m_channelsLock);
        channels = m_channels;
    }
    channels.control->Stop();
    if (channels.player)
        channels.player->Stop();
    for (auto &d : channels.data)
        d->Stop();
}

bool ClientDevice::Start(std::string *error)
{
    std::lock_guard<std::mutex> roam(m_roamLock);
    m_started = Clock::now();
    if (!Listen(m_channels, error))
        return false;
    m_bConnected = true;
    return true;
}

void ClientDevice::Stop()
{
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_stop = true;
    }
    m_sessionChanged.notify_all();
    std::lock_guard<std::mutex> roam(m_roamLock);
    if (m_playerLateTimer.joinable())
        m_playerLateTimer.join();
    StopListening();
}

uint32_t ClientDevice::ChunkErrors() const
{
    std::lock_guard<std::mutex> hold(m_channelsLock);
    return m_retiredChunkErrors + m_channels.ChunkErrors();
}

uint32_t ClientDevice::Channels::ChunkErrors() const
{
    uint32_t errors = control->ChunkErrors();
    if (player)
        errors += player->ChunkErrors();
    for (auto &d : data)
        errors += d->ChunkErrors();
    return errors;
}

std::shared_ptr<ChannelServer> ClientDevice::ServerFor(int route) const
{
    std::lock_guard<std::mutex> hold(m_channelsLock);
    if (m_bIca || route == kControl)
        return m_channels.control;
    if (route == kPlayer)
        return m_channels.player;
    return IsDataChannel(route) ? m_channels.data[static_cast<size_t>(route)] : nullptr;
}

ClientDevice::Mailbox &ClientDevice::MailboxFor(int route)
{
    return m_mailboxes[route == kControl ? 0 : route == kPlayer ? 1 : 2 + route];
}

// RDP: every channel is a route of its own. ICA: the header's channel
// number says where a message belongs, and the player's codes go to the
// player whatever it says.
void ClientDevice::Route(ChannelServer &server, int fixedRoute, ReceivedMessage &&m)
{
    if (m_stop || m_bRouteStop)
        return;
    int route = fixedRoute;
    if (route == kNoRoute) {
        route = IcaRouteOf(m.bytes.data(), m.bytes.size());
        if (HasPlayerCode(m.bytes.data(), m.bytes.size())) {
            // The player program's connection only talks: no reply goes there.
            server.Exclude(m.instance);
        } else if (route == kControl || IsDataChannel(route)) {
            // A reply or data: this connection is the server's control
            // channel, where requests go from now on.
            server.Prefer(m.instance);
        }
    }
    if (route == kNoRoute) {
        ++m_stray;
        return;
    }
    Deliver(route, std::move(m));
}

void ClientDevice::Deliver(int route, ReceivedMessage &&m)
{
    Mailbox &box = MailboxFor(route);
    {
        std::lock_guard<std::mutex> hold(box.lock);
        box.queue.push_back(std::move(m));
    }
    // Woken after the lock is let go: a waiter woken under it would wait
    // for the lock next, one more wake-up per message.
    box.arrived.notify_all();
}

bool ClientDevice::Receive(int route, ReceivedMessage *out, DWORD timeoutMs)
{
    return ReceiveAt(route, out, timeoutMs, Generation());
}

// A disconnect ends the wait: what it waited for went with the session.
bool ClientDevice::ReceiveAt(int route, ReceivedMessage *out, DWORD timeoutMs, uint64_t generation)
{
    if (route != kControl && route != kPlayer && !IsDataChannel(route))
        return false;
    Mailbox &box = MailboxFor(route);
    std::unique_lock<std::mutex> hold(box.lock);
    box.arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                         [&] { return !box.queue.empty() || m_generation.load() != generation; });
    if (box.queue.empty() || m_generation.load() != generation)
        return false;
    *out = std::move(box.queue.front());
    box.queue.pop_front();
    return true;
}

uint32_t ClientDevice::NextPsn()
{
    // Kept within 15 bits, as the server's own sequence numbers are.
    return 1 + (m_psn.fetch_add(1) % 32767);
}

bool ClientDevice::SendRaw(int route, const void *data, uint32_t length)
{
    return SendAt(route, data, length, Generation());
}

// Sends only within the session of `generation`: a request of a session
// that is gone must not reach the next one, where its file descriptor and
// data channel may belong to another file.
bool ClientDevice::SendAt(int route, const void *data, uint32_t length, uint64_t generation)
{
    // A data channel's pipe connects a moment after the OPEN reply, and a
    // slot used before reconnects: retry until the write goes through.
    const auto start = Clock::now();
    for (;;) {
        const std::shared_ptr<ChannelServer> server = ServerFor(route);
        if (!server || !m_bConnected || m_generation.load() != generation)
            return false;
        // On ICA, until the server's control channel has answered once, a
        // request goes to every connection that may be it (the player
        // program's connection never reads, so it does no harm there).
        if (m_bIca && !server->HasPreferred()) {
            if (server->WaitConnected(1, 200) && server->SendToEach(data, length) > 0)
                return true;
        } else if (server->WaitConnected(1, 200) && server->Send(data, length)) {
            return true;
        }
        if (m_stop || MsSince(start) > 5000)
            return false;
        Sleep(10);
    }
}

bool ClientDevice::Call(int route, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs)
{
    return CallAt(route, std::move(request), reply, timeoutMs, Generation());
}

bool ClientDevice::CallAt(int route, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs,
                          uint64_t generation, const std::function<bool()> &giveUp)
{
    if (request.size() < kHeaderSize)
        return false;
    const uint32_t psn = NextPsn();
    StoreLE32(request.data() + hdr::kPSN, psn);
    if (!SendAt(route, request.data(), static_cast<uint32_t>(request.size()), generation))
        return false;
    const auto start = Clock::now();
    for (;;) {
        const double left = timeoutMs - MsSince(start);
        if (left <= 0 || (giveUp && giveUp()))
            return false;
        // Looked at again every 100 ms while there is a reason to give up.
        const DWORD slice = static_cast<DWORD>(giveUp && left > 100 ? 100 : left);
        if (!ReceiveAt(route, reply, slice, generation)) {
            if (!giveUp || m_generation.load() != generation)
                return false;
            continue;
        }
        if (reply->bytes.size() >= kHeaderSize && LoadHeader(reply->bytes.data()).dwPSN == psn)
            return true;
        ++m_stray;   // an answer to something else: not this call's
    }
}

// --- the session ------------------------------------------------------------

bool ClientDevice::Handshake(const DeviceOptions &options, std::string *error)
{
    // A control thread that is restarted asks again (the server restarts
    // it on a session connect, which it may have found by itself already).
    // Each pass takes one message, so this ends.
    for (;;) {
        ReceivedMessage m;
        if (!Receive(kPlayer, &m, options.timeoutMs)) {
            *error = "no solicitation";
            return false;
        }
        if (AnswerSolicitation(m, options, error))
            return true;
        if (!SolicitationWaiting())
            return false;
        error->clear();
    }
}

bool ClientDevice::SolicitationWaiting()
{
    Mailbox &box = MailboxFor(kPlayer);
    std::lock_guard<std::mutex> hold(box.lock);
    return std::any_of(box.queue.begin(), box.queue.end(), [](const ReceivedMessage &m) { return IsSolicitation(m); });
}

bool ClientDevice::AnswerSolicitation(const ReceivedMessage &solicitation, const DeviceOptions &options, std::string *error)
{
    const ReceivedMessage &m = solicitation;
    if (!IsSolicitation(m)) {
        *error = Format("unexpected message of %zu bytes instead of the solicitation", m.bytes.size());
        return false;
    }
    const auto send = BuildSendParams(options.policy, options.readCap, options.targetRate, options.chunking, 0);
    std::lock_guard<std::mutex> hold(m_controlLock);
    ReceivedMessage reply;
    if (!CallAt(kControl, send, &reply, options.timeoutMs, Generation(), [this] { return SolicitationWaiting(); })) {
        *error = SolicitationWaiting() ? "asked again before the reply" : "no reply to SEND";
        return false;
    }
    if (reply.bytes.size() != kIntMessageSize || MessageType(reply.bytes.data()) != PYXMSG_SEND_PARAMS ||
        Word(reply, 32) != 0) {
        *error = "bad reply to SEND";
        return false;
    }
    SessionReady();
    return true;
}

// --- roaming ------------------------------------------------------------------

void ClientDevice::Disconnect()
{
    std::lock_guard<std::mutex> roam(m_roamLock);
    if (!m_bConnected)
        return;
    // The state first: a program whose channel fails already reads it
    // (unless LoseChannels closed them before).
    m_session.MarkDisconnected();
    m_bConnected = false;
    ++m_generation;
    for (Mailbox &box : m_mailboxes) {
        std::lock_guard<std::mutex> hold(box.lock);
        box.arrived.notify_all();
    }
    StopListening();
    Log(Format("pyxclient: disconnected at ms=%.1f", MsSince(m_started)));
    CSessionState::NotifyWindows(m_bIca, false);
}

void ClientDevice::LoseChannels()
{
    std::lock_guard<std::mutex> roam(m_roamLock);
    if (!m_bConnected || m_bChannelsLost)
        return;
    m_bChannelsLost = true;
    ++m_generation;
    for (Mailbox &box : m_mailboxes) {
        std::lock_guard<std::mutex> hold(box.lock);
        box.arrived.notify_all();
    }
    StopListening();
    Log(Format("pyxclient: channels lost at ms=%.1f", MsSince(m_started)));
}


bool ClientDevice::Reconnect(std::string *error, double playerLateSeconds)
{
    std::lock_guard<std::mutex> roam(m_roamLock);
    if (m_stop) {
        *error = "the client stopped";
        return false;
    }
    if (m_bConnected)
        return true;
    m_bChannelsLost = false;
    if (m_playerLateTimer.joinable())
        m_playerLateTimer.join();
    if (playerLateSeconds > 0) {
        if (!m_hPlayerLate)
            m_hPlayerLate.Reset(CreateEventW(nullptr, TRUE, FALSE, kPlayerLateEvent));
        if (m_hPlayerLate)
            SetEvent(m_hPlayerLate.Get());
        const auto late = std::chrono::milliseconds(static_cast<long long>(playerLateSeconds * 1000));
        m_playerLateTimer = std::thread([this, late] {
            {
                std::unique_lock<std::mutex> hold(m_sessionLock);
                m_sessionChanged.wait_for(hold, late, [&] { return m_stop.load(); });
            }
            ResetEvent(m_hPlayerLate.Get());
            Log(Format("pyxclient: the player listens at ms=%.1f", MsSince(m_started)));
        });
    }
    const Channels fresh = MakeChannels();
    {
        std::lock_guard<std::mutex> hold(m_channelsLock);
        m_retiredChunkErrors += m_channels.ChunkErrors();
        m_channels = fresh;
    }
    // Nothing of the old session is waiting any more.
    for (Mailbox &box : m_mailboxes) {
        std::lock_guard<std::mutex> hold(box.lock);
        box.queue.clear();
    }
    if (!Listen(fresh, error)) {
        StopListening();
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_reconnectedAt = Clock::now();
        m_firstByteAfterReconnectMs = -1;
        m_bAwaitFirstByte = true;
    }
    m_session.MarkConnected();
    m_bConnected = true;
    ++m_reconnects;
    Log(Format("pyxclient: reconnected at ms=%.1f", MsSince(m_started)));
    CSessionState::NotifyWindows(m_bIca, true);
    return true;
}

bool ClientDevice::Roam(double gapSeconds, std::string *error, double playerLateSeconds)
{
    Disconnect();
    {
        std::unique_lock<std::mutex> hold(m_sessionLock);
        const auto gap = std::chrono::milliseconds(static_cast<long long>(gapSeconds > 0 ? gapSeconds * 1000 : 0));
        m_sessionChanged.wait_for(hold, gap, [&] { return m_stop.load(); });
    }
    return Reconnect(error, playerLateSeconds);
}

double ClientDevice::FirstByteAfterReconnectMs() const
{
    std::lock_guard<std::mutex> hold(m_sessionLock);
    return m_firstByteAfterReconnectMs;
}

// A solicitation was answered: the session serves again.
void ClientDevice::SessionReady()
{
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_readyGeneration = m_generation.load();
    }
    m_sessionChanged.notify_all();
}

// After an exchange cut by a disconnect: waits for the reconnect and the
// answered solicitation of the new session.
bool ClientDevice::WaitSessionBack(const DeviceOptions &options, std::string *why)
{
    const double gap = options.roamGapSeconds > 0 ? options.roamGapSeconds : 0;
    const auto limit = std::chrono::milliseconds(static_cast<long long>(gap * 1000) + 2LL * options.timeoutMs);
    std::unique_lock<std::mutex> hold(m_sessionLock);
    const bool settled = m_sessionChanged.wait_for(hold, limit, [&] {
        return m_stop || !m_roamError.empty() || (m_bConnected && m_readyGeneration == m_generation.load());
    });
    if (m_stop)
        *why = "the client stopped";
    else if (!m_roamError.empty())
        *why = m_roamError;
    else if (!settled)
        *why = "no new handshake";
    return settled && !m_stop && m_roamError.empty();
}

// Run's roam: once, roamAfterSeconds after the start, if the files are
// still being served; then the new session's handshake.
void ClientDevice::RoamDuringRun(const DeviceOptions &options, Clock::time_point start)
{
    {
        std::unique_lock<std::mutex> hold(m_sessionLock);
        const auto at = start + std::chrono::milliseconds(static_cast<long long>(options.roamAfterSeconds * 1000));
        if (m_sessionChanged.wait_until(hold, at, [&] { return m_bRunDone || m_stop.load(); }))
            return;
    }
    std::string error;
    if (Roam(options.roamGapSeconds, &error, options.roamPlayerLateSeconds) && Handshake(options, &error))
        return;
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_roamError = error;
    }
    m_sessionChanged.notify_all();
}

void ClientDevice::NoteData(Clock::time_point received)
{
    if (!m_bAwaitFirstByte)
        return;
    double ms = 0;
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        if (!m_bAwaitFirstByte || received < m_reconnectedAt)
            return;
        m_bAwaitFirstByte = false;
        ms = std::chrono::duration<double, std::milli>(received - m_reconnectedAt).count();
        m_firstByteAfterReconnectMs = ms;
    }
    Log(Format("pyxclient: first byte %.1f ms after the reconnect", ms));
}

void ClientDevice::Log(const std::string &line)
{
    if (!m_log)
        return;
    std::lock_guard<std::mutex> hold(m_logLock);
    m_log(line);
}

void ClientDevice::SendMalformedControl(DeviceSummary *summary, DWORD timeoutMs)
{
    std::lock_guard<std::mutex> hold(m_controlLock);
    const unsigned char tiny[20] = {'O', 'P', 'E', 'N'};
    auto lying = BuildOpenRequest(std::wstring(L"C:\\lying.avi"), 0);
    StoreLE32(lying.data() + hdr::kDataSize, 600);   // more than is sent
    auto unknown = BuildWordsRequest(0x21212121, {1}, 0, CHANNEL_CONTROL);
    auto stray = BuildWordsRequest(PYXMSG_RPC_CLOSE, {0x7654321}, 0, CHANNEL_CONTROL);   // no such file
    bool sent = SendRaw(kControl, tiny, sizeof tiny);
    sent = SendRaw(kControl, lying.data(), 100) && sent;
    sent = SendRaw(kControl, unknown.data(), static_cast<uint32_t>(unknown.size())) && sent;
    sent = SendRaw(kControl, stray.data(), static_cast<uint32_t>(stray.size())) && sent;
    ReceivedMessage m;
    // None of them is answered.
    if (!sent || Receive(kControl, &m, timeoutMs < 700 ? timeoutMs : 700))
        ++summary->protocolErrors;
}

DeviceSummary ClientDevice::Session(const DeviceOptions &options)
{
    std::string error;
    if (!Handshake(options, &error)) {
        DeviceSummary summary;
        summary.error = error;
        summary.chunkErrors = ChunkErrors();
        summary.reconnects = Reconnects();
        Log(summary.Line());
        return summary;
    }
    return Run(options);
}

DeviceSummary ClientDevice::Run(const DeviceOptions &options)
{
    DeviceSummary summary;
    if (options.malformed)
        SendMalformedControl(&summary, options.timeoutMs);

    const size_t jobs = options.files.empty()
                            ? 0
                            : std::max(options.files.size(), static_cast<size_t>(options.parallel < 1 ? 1 : options.parallel));
    summary.reports.resize(jobs);
    // Load every source before the clock starts.
    for (const DeviceFile &f : options.files)
        g_Sources.Get(f.source.empty() ? f.name : f.source);

    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_bRunDone = false;
        m_roamError.clear();
    }
    const auto start = Clock::now();
    std::thread roamer;
    if (options.roamAfterSeconds >= 0)
        roamer = std::thread([this, &options, start] { RoamDuringRun(options, start); });
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs; ++i) {
        const DeviceFile &file = options.files[i % options.files.size()];
        threads.emplace_back([this, &options, &summary, i, &file] {
            ServeFile(options, static_cast<int>(i), file, &summary.reports[i]);
        });
    }
    for (auto &t : threads)
        t.join();
    summary.seconds = MsSince(start) / 1000.0;
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        m_bRunDone = true;
    }
    m_sessionChanged.notify_all();
    if (roamer.joinable())
        roamer.join();
    summary.reconnects = Reconnects();
    summary.firstByteAfterReconnectMs = FirstByteAfterReconnectMs();
    {
        std::lock_guard<std::mutex> hold(m_sessionLock);
        if (!m_roamError.empty())
            summary.error = "the session did not come back: " + m_roamError;
    }

    summary.ok = jobs > 0 && summary.protocolErrors == 0 && summary.error.empty();
    summary.files = static_cast<uint32_t>(jobs);
    for (const FileReport &r : summary.reports) {
        summary.bytes += r.bytes;
        summary.requests += r.requests;
        summary.chunked += r.chunked;
        summary.mismatches += r.mismatches;
        summary.protocolErrors += r.protocolErrors;
        summary.ok = summary.ok && r.ok;
        Log(r.Line());
    }
    summary.chunkErrors = ChunkErrors();
    summary.ok = summary.ok && summary.chunkErrors == 0 && summary.mismatches == 0 && summary.protocolErrors == 0;
    summary.mbps = summary.seconds > 0 ? summary.bytes / summary.seconds / 1e6 : 0;
    Log(summary.Line());
    return summary;
}

// --- one file's exchanges ------------------------------------------------------

bool ClientDevice::RequestOpen(const std::wstring &name, FileReport *r, DWORD timeoutMs)
{
    ReceivedMessage m;
    const uint64_t session = Generation();
    {
        std::lock_guard<std::mutex> hold(m_controlLock);
        if (!CallAt(kControl, BuildOpenRequest(name, 0), &m, timeoutMs, session)) {
            Fail(r, "no reply to OPEN");
            return false;
        }
    }
    OpenReply reply{};
    if (!ReadOpenReply(m.bytes.data(), static_cast<uint32_t>(m.bytes.size()), &reply) ||
        MessageType(m.bytes.data()) != PYXMSG_RPC_OPEN) {
        ++r->protocolErrors;
        Fail(r, "bad reply to OPEN");
        return false;
    }
    r->session = session;
    r->fileDesc = reply.fileDesc;
    r->channel = reply.channel;
    r->extendedError = reply.extendedError;
    r->systemError = reply.systemError;
    if (r->fileDesc != -1 && !IsDataChannel(r->channel)) {
        ++r->protocolErrors;
        Fail(r, Format("OPEN gave data channel %d", r->channel));
        return false;
    }
    return true;
}

bool ClientDevice::DataCall(FileReport *r, std::vector<unsigned char> request, ReceivedMessage *reply, DWORD timeoutMs)
{
    if (!CallAt(r->channel, std::move(request), reply, timeoutMs, r->session)) {
        Fail(r, "no reply on the data channel");
        return false;
    }
    ++r->requests;
    if (reply->chunks)
        ++r->chunked;
    return true;
}

bool ClientDevice::RequestWord(FileReport *r, std::vector<unsigned char> request, int32_t *value, DWORD timeoutMs)
{
    ReceivedMessage reply;
    if (!DataCall(r, std::move(request), &reply, timeoutMs))
        return false;
    *value = Word(reply, 32);
    if (reply.bytes.size() != kIntMessageSize) {
        ++r->protocolErrors;
        Fail(r, Format("one-word reply of %zu bytes", reply.bytes.size()));
        return false;
    }
    return true;
}

// A data reply for bytes from `at`: checks its size and every byte.
bool ClientDevice::CheckData(FileReport *r, const ReceivedMessage &reply, const unsigned char *want, uint32_t size,
                             uint32_t at, uint32_t asked, int32_t *got)
{
    *got = Word(reply, 32);
    if (*got < 0 || static_cast<uint32_t>(*got) > asked || reply.bytes.size() != kReplyDataOffset + uint32_t(*got) ||
        static_cast<uint64_t>(at) + uint32_t(*got) > size) {
        ++r->protocolErrors;
        Fail(r, Format("data reply of %zu bytes says %d at %u", reply.bytes.size(), *got, at));
        return false;
    }
    const unsigned char *data = reply.bytes.data() + kReplyDataOffset;
    if (want && *got > 0 && std::memcmp(data, want + at, static_cast<uint32_t>(*got)) != 0) {
        for (int32_t i = 0; i < *got; ++i)
            r->mismatches += data[i] != want[at + static_cast<uint32_t>(i)];
    }
    r->bytes += static_cast<uint32_t>(*got);
    if (*got > 0)
        NoteData(reply.received);
    return true;
}

bool ClientDevice::RequestRead(FileReport *r, const unsigned char *want, uint32_t size, uint32_t at, uint32_t count,
                               bool positioned, int32_t *got, DWORD timeoutMs)
{
    ReceivedMessage reply;
    const auto request = BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(r->fileDesc), count,
                                                            positioned ? at : 0xFFFFFFFFu}, 0, r->channel);
    return DataCall(r, request, &reply, timeoutMs) && CheckData(r, reply, want, size, at, count, got);
}

bool ClientDevice::RequestClose(FileReport *r, uint32_t code, uint32_t handle, int32_t result, DWORD timeoutMs)
{
    ReceivedMessage m;
    std::lock_guard<std::mutex> hold(m_controlLock);
    if (!CallAt(kControl, BuildWordsRequest(code, {handle}, 0, CHANNEL_CONTROL), &m, timeoutMs, r->session)) {
        Fail(r, "no reply to the close");
        return false;
    }
    if (m.bytes.size() != kIntMessageSize || MessageType(m.bytes.data()) != code || Word(m, 32) != result) {
        ++r->protocolErrors;
        Fail(r, "bad reply to the close");
        return false;
    }
    return true;
}

// One file: OPEN, the reads to the end with the mix of positioned reads and
// seeks, the read past the end, and CLOS (FCLO for a stream). An exchange
// cut by a roam is not the file's failure: once the new session is ready
// the file is opened again and goes on from where it was.
void ClientDevice::ServeFile(const DeviceOptions &options, int index, const DeviceFile &file, FileReport *r)
{
    r->index = index;
    r->name = file.name;
    const auto fail = [r](std::string why) { Fail(r, std::move(why)); };
    const auto expected = g_Sources.Get(file.source.empty() ? file.name : file.source);
    if (!options.expectOpenFail && !expected) {
        fail("source cannot be read");
        return;
    }

    const std::vector<unsigned char> none;
    const std::vector<unsigned char> &want = expected ? *expected : none;
    const uint32_t size = static_cast<uint32_t>(want.size());
    const uint32_t count = options.requestSize;
    const auto opened = Clock::now();
    // The open file of this session.
    int channel = -1;
    uint32_t fd = 0;
    uint32_t stream = 0;
    // A one-word reply (SEEK, FSEK, FTEL) that must carry `value`.
    const auto expectWord = [&](std::vector<unsigned char> request, int32_t value, const char *what) {
        int32_t got = 0;
        if (!RequestWord(r, std::move(request), &got, options.timeoutMs))
            return false;
        if (got != value) {
            ++r->protocolErrors;
            fail(Format("%s answered %d, expected %d", what, got, value));
            return false;
        }
        return true;
    };

    // Reads `asked` bytes at the current position (or at `at` when
    // positioned), expected to begin at byte `at`.
    const auto readAt = [&](uint32_t at, uint32_t asked, bool positioned, int32_t *got) {
        bool ok;
        if (options.stream) {
            ReceivedMessage reply;
            ok = (!positioned || expectWord(BuildWordsRequest(PYXMSG_RPC_FSEEK, {stream, at, 0}, 0, channel), 0, "FSEK")) &&
                 DataCall(r, BuildWordsRequest(PYXMSG_RPC_FREAD, {stream, 1, asked}, 0, channel), &reply, options.timeoutMs) &&
                 CheckData(r, reply, want.data(), size, at, asked, got);
        } else {
            ok = RequestRead(r, want.data(), size, at, asked, positioned, got, options.timeoutMs);
        }
        if (ok && *got > 0 && r->firstByteMs < 0)
            r->firstByteMs = MsSince(opened);
        return ok;
    };

    Mix mix(options.seed + static_cast<uint32_t>(index) * 7919u);
    uint32_t offset = 0;
    bool reposition = false;   // the position was moved away from `offset`
    bool malformedSent = !options.malformed;

    // One session's part: OPEN, the reads from `offset`, the read past the end, the close.
    const auto serve = [&] {
        if (!RequestOpen(file.name, r, options.timeoutMs))
            return;
        if (options.expectOpenFail) {
            r->ok = r->fileDesc == -1;
            if (!r->ok)
                fail("OPEN was expected to fail");
            return;
        }
        if (r->fileDesc == -1) {
            fail(Format("OPEN refused (extended 0x%x, system %d)", static_cast<unsigned>(r->extendedError), r->systemError));
            return;
        }
        channel = r->channel;
        fd = static_cast<uint32_t>(r->fileDesc);
        if (options.stream) {
            ReceivedMessage m;
            if (!DataCall(r, BuildWordsRequest(PYXMSG_RPC_FDOPEN, {fd}, 0, channel), &m, options.timeoutMs))
                return;
            stream = static_cast<uint32_t>(Word(m, 32));
            if (m.bytes.size() != kFdopenReplySize || stream == 0) {
                ++r->protocolErrors;
                fail("FDOP gave no stream");
                return;
            }
        }
        reposition = offset != 0;   // a fresh open stands at the start
        while (r->error.empty() && offset < size) {
            if (options.seed && mix.Below(8) == 0) {
                const uint32_t p = mix.Below(size);
                int32_t got = 0;
                switch (mix.Below(3)) {
                case 0:   // a positioned read somewhere else
                    if (!readAt(p, count, true, &got))
                        return;
                    reposition = true;
                    break;
                case 1:   // seeks from all three origins, back to where we were
                    if (options.stream) {
                        if (!expectWord(BuildWordsRequest(PYXMSG_RPC_FSEEK, {stream, p, 0}, 0, channel), 0, "FSEK") ||
                            !expectWord(BuildWordsRequest(PYXMSG_RPC_FTELL, {stream}, 0, channel), static_cast<int32_t>(p), "FTEL") ||
                            !expectWord(BuildWordsRequest(PYXMSG_RPC_FSEEK, {stream, static_cast<uint32_t>(-static_cast<int32_t>(size - offset)), 2}, 0, channel), 0, "FSEK") ||
                            !expectWord(BuildWordsRequest(PYXMSG_RPC_FTELL, {stream}, 0, channel), static_cast<int32_t>(offset), "FTEL"))
                            return;
                    } else {
                        if (!expectWord(BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, p, 0}, 0, channel), static_cast<int32_t>(p), "SEEK") ||
                            !expectWord(BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, 0, 2}, 0, channel), static_cast<int32_t>(size), "SEEK") ||
                            !expectWord(BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, static_cast<uint32_t>(static_cast<int32_t>(offset - size)), 1}, 0, channel),
                                        static_cast<int32_t>(offset), "SEEK"))
                            return;
                    }
                    break;
                default:   // at the end, a read gives nothing
                    if (options.stream) {
                        if (!expectWord(BuildWordsRequest(PYXMSG_RPC_FSEEK, {stream, 0, 2}, 0, channel), 0, "FSEK"))
                            return;
                    } else if (!expectWord(BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, 0, 2}, 0, channel), static_cast<int32_t>(size), "SEEK")) {
                        return;
                    }
                    if (!readAt(size, count, false, &got))
                        return;
                    if (got != 0) {
                        fail("a read at the end gave data");
                        return;
                    }
                    reposition = true;
                    break;
                }
            }
            int32_t got = 0;
            if (!readAt(offset, count, reposition, &got))
                return;
            reposition = false;
            if (got == 0) {
                fail(Format("the file ended early, at %u of %u", offset, size));
                return;
            }
            offset += static_cast<uint32_t>(got);

            if (!malformedSent) {
                // Short, lying and unknown messages on the data channel: dropped,
                // and the next request is served as usual.
                malformedSent = true;
                const unsigned char tiny[12] = {'R', 'E', 'A', 'D'};
                auto lying = BuildWordsRequest(PYXMSG_RPC_READ, {fd, count, 0xFFFFFFFFu}, 0, channel);
                StoreLE32(lying.data() + hdr::kDataSize, 4000);
                auto unknown = BuildWordsRequest(0x3F3F3F3F, {fd}, 0, channel);
                if (!SendAt(channel, tiny, sizeof tiny, r->session) ||
                    !SendAt(channel, lying.data(), static_cast<uint32_t>(lying.size()), r->session) ||
                    !SendAt(channel, unknown.data(), static_cast<uint32_t>(unknown.size()), r->session))
                    fail("cannot send the malformed messages");
                ReceivedMessage unwanted;
                if (ReceiveAt(channel, &unwanted, 500, r->session)) {
                    ++r->protocolErrors;
                    fail("a malformed message was answered");
                    return;
                }
            }
        }
        if (!r->error.empty())
            return;
        // Past the end: nothing more (a file opened again at its end stands
        // at its start).
        int32_t got = 0;
        if (!readAt(size, count, reposition, &got))
            return;
        if (got != 0) {
            fail("data past the end");
            return;
        }
        // The source's own close result: 0 for a local file, 1 for a URL.
        const int32_t closed = file.name.find(L"://") != std::wstring::npos ? 1 : 0;
        if (!RequestClose(r, options.stream ? PYXMSG_RPC_FCLOSE : PYXMSG_RPC_CLOSE, options.stream ? stream : fd, closed,
                          options.timeoutMs))
            return;
        r->ok = r->mismatches == 0 && r->protocolErrors == 0 && r->bytes >= size;
        if (!r->ok)
            fail("bytes differ from the source");
    };

    for (;;) {
        const uint64_t generation = Generation();
        serve();
        if (r->error.empty() || Generation() == generation)
            return;
        r->error.clear();
        std::string why;
        if (!WaitSessionBack(options, &why)) {
            fail("the session did not come back: " + why);
            return;
        }
        ++r->reopens;
    }
}

// --- the command line ---------------------------------------------------------

bool ParseDeviceOptions(const std::vector<std::string> &args, DeviceOptions *out, bool *ica,
                        std::vector<std::string> *rest, std::string *error)
{
    const auto number = [&](size_t &i, uint32_t *value) {
        if (i + 1 >= args.size()) {
            *error = args[i] + " needs a value";
            return false;
        }
        char *end = nullptr;
        const std::string &text = args[++i];
        const unsigned long v = std::strtoul(text.c_str(), &end, 0);
        if (text.empty() || *end) {
            *error = args[i - 1] + ": not a number: " + text;
            return false;
        }
        *value = static_cast<uint32_t>(v);
        return true;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        uint32_t v = 0;
        if (a == "--protocol" && i + 1 < args.size()) {
            const std::string &p = args[++i];
            if (p != "ica" && p != "rdp") {
                *error = "--protocol is rdp or ica";
                return false;
            }
            *ica = p == "ica";
        } else if (a == "--file" && i + 1 < args.size()) {
            out->files.push_back({Widen(args[++i]), {}});
        } else if (a == "--source" && i + 1 < args.size()) {
            if (out->files.empty()) {
                *error = "--source belongs to the --file before it";
                return false;
            }
            out->files.back().source = Widen(args[++i]);
        } else if (a == "--request-size") {
            if (!number(i, &out->requestSize))
                return false;
            if (out->requestSize == 0) {
                *error = "--request-size must be more than 0";
                return false;
            }
        } else if (a == "--read-cap") {
            if (!number(i, &out->readCap))
                return false;
        } else if (a == "--rate") {
            if (!number(i, &out->targetRate))
                return false;
        } else if (a == "--chunking") {
            if (!number(i, &out->chunking))
                return false;
        } else if (a == "--policy") {
            if (!number(i, &out->policy))
                return false;
        } else if (a == "--seed") {
            if (!number(i, &out->seed))
                return false;
        } else if (a == "--timeout-ms") {
            if (!number(i, &v))
                return false;
            out->timeoutMs = v;
        } else if (a == "--parallel") {
            if (!number(i, &v))
                return false;
            out->parallel = static_cast<int>(v);
        } else if (a == "--roam" && i + 1 < args.size()) {
            // SECONDS[,GAP[,PLAYER_LATE]]
            const std::string &text = args[++i];
            char *end = nullptr;
            const double after = std::strtod(text.c_str(), &end);
            double gap = out->roamGapSeconds;
            double late = out->roamPlayerLateSeconds;
            bool ok = end != text.c_str() && after >= 0;
            if (ok && *end == ',') {
                const char *at = end + 1;
                gap = std::strtod(at, &end);
                ok = end != at && gap >= 0;
            }
            if (ok && *end == ',') {
                const char *at = end + 1;
                late = std::strtod(at, &end);
                ok = end != at && late >= 0;
            }
            if (!ok || *end) {
                *error = "--roam takes SECONDS[,GAP[,PLAYER_LATE]], all 0 or more: " + text;
                return false;
            }
            out->roamAfterSeconds = after;
            out->roamGapSeconds = gap;
            out->roamPlayerLateSeconds = late;
        } else if (a == "--stream") {
            out->stream = true;
        } else if (a == "--malformed") {
            out->malformed = true;
        } else if (a == "--expect-open-fail") {
            out->expectOpenFail = true;
        } else {
            rest->push_back(a);
        }
    }
    return true;
}

} // namespace loopback

std::string loopback::Format(const char *fmt, ...)
{
    char text[2048];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}
