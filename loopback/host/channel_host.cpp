#include "channel_host.h"

#include <utility>

#include "player_check.h"
#include "protocol.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace vchost {

namespace {

using Clock = std::chrono::steady_clock;

// The one host of the process, which the entry points find by the init
// handle: a pointer the add-in passes back is compared, never followed.
std::atomic<CChannelHost *> g_host{nullptr};

// FreeRDP's piece size on the wire.
constexpr uint32_t kPiece = CHANNEL_CHUNK_LENGTH;
// A write the relay could not carry as one frame.
constexpr ULONG kMaxWrite = vcframe::kMaxFrame;
// How long a write waits for its channel's connection (a data channel's
// pipe connects a moment after the OPEN reply that names it).
constexpr auto kWriteWait = std::chrono::seconds(5);
constexpr char kHostName[] = "127.0.0.1";

std::string Hex(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

} // namespace

CChannelHost::CChannelHost(HostOptions options, LogFn log)
    : m_options(std::move(options)), m_log(std::move(log)),
      m_listener([this](LinkEvent &&e) {
          std::lock_guard<std::mutex> hold(m_lock);
          m_events.push_back(std::move(e));
          m_wake.notify_all();
      }, m_log),
      m_random(m_options.seed)
{
}

CChannelHost::~CChannelHost() { Stop(); }

CChannelHost *CChannelHost::HostOf(LPVOID initHandle)
{
    CChannelHost *host = g_host.load();
    return initHandle && initHandle == host ? host : nullptr;
}

UINT CChannelHost::Reject(const char *call, UINT code, const std::string &detail)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_counters.rejectedCalls;
    }
    Log(std::string("rejected ") + call + ": code " + std::to_string(code) + " (" + detail + ")");
    return code;
}

CChannelHost::Channel *CChannelHost::ChannelByHandle(DWORD openHandle)
{
    for (Channel &c : m_channels) {
        if (c.openHandle == openHandle)
            return &c;
    }
    return nullptr;
}

CChannelHost::Channel *CChannelHost::ChannelByName(const std::string &name)
{
    for (Channel &c : m_channels) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

// --- the entry points ---------------------------------------------------------

UINT VCAPITYPE CChannelHost::InitEx(LPVOID userParam, LPVOID, LPVOID initHandle, PCHANNEL_DEF channels, INT count,
                                    ULONG, PCHANNEL_INIT_EVENT_EX_FN proc)
{
    CChannelHost *host = HostOf(initHandle);
    if (!host) {
        std::fprintf(stderr, "tarsel_vc_host: InitEx with the init handle %s\n", Hex(initHandle).c_str());
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    if (!channels)
        return host->Reject("InitEx", CHANNEL_RC_BAD_CHANNEL, "no channel array");
    if (count <= 0 || !proc)
        return host->Reject("InitEx", CHANNEL_RC_INITIALIZATION_ERROR,
                            "count " + std::to_string(count) + (proc ? "" : ", no proc"));
    UINT code = CHANNEL_RC_OK;
    std::string why, names;
    {
        std::lock_guard<std::mutex> hold(host->m_lock);
        if (!host->m_bInEntry) {
            code = CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY;
            why = "outside VirtualChannelEntryEx";
        } else if (host->m_channels.size() + static_cast<size_t>(count) > CHANNEL_MAX_COUNT) {
            // FreeRDP takes several registrations in one entry call, each
            // with its own parameter and procedure, up to its channel limit.
            code = CHANNEL_RC_TOO_MANY_CHANNELS;
            why = std::to_string(host->m_channels.size() + count) + " channels";
        }
        std::vector<Channel> added;
        for (INT i = 0; code == CHANNEL_RC_OK && i < count; ++i) {
            const size_t n = strnlen(channels[i].name, sizeof channels[i].name);
            const std::string name(channels[i].name, n);
            const auto same = [&](const Channel &c) { return c.name == name; };
            const bool twice = std::any_of(added.begin(), added.end(), same) ||
                               std::any_of(host->m_channels.begin(), host->m_channels.end(), same);
            if (n == 0 || n > CHANNEL_NAME_LEN || twice) {
                code = CHANNEL_RC_BAD_CHANNEL;
                why = "channel " + std::to_string(i) + ": empty, unterminated in 8 bytes, or named twice";
                break;
            }
            Channel c;
            c.name = name;
            c.options = channels[i].options;
            c.openHandle = host->m_nextOpenHandle++;
            c.userParam = userParam;
            added.push_back(std::move(c));
            names += " " + name;
        }
        if (code == CHANNEL_RC_OK) {
            host->m_registrations.push_back({userParam, proc});
            for (Channel &c : added)
                host->m_channels.push_back(std::move(c));
        }
    }
    if (code != CHANNEL_RC_OK)
        return host->Reject("InitEx", code, why);
    host->Log("InitEx: " + std::to_string(count) + " channels:" + names);
    return CHANNEL_RC_OK;
}

UINT VCAPITYPE CChannelHost::OpenEx(LPVOID initHandle, LPDWORD openHandle, PCHAR name, PCHANNEL_OPEN_EVENT_EX_FN proc)
{
    CChannelHost *host = HostOf(initHandle);
    if (!host) {
        std::fprintf(stderr, "tarsel_vc_host: OpenEx with the init handle %s\n", Hex(initHandle).c_str());
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    if (!openHandle)
        return host->Reject("OpenEx", CHANNEL_RC_BAD_CHANNEL_HANDLE, "no handle pointer");
    if (!proc)
        return host->Reject("OpenEx", CHANNEL_RC_BAD_PROC, "no proc");
    if (!name || strnlen(name, CHANNEL_NAME_LEN + 1) > CHANNEL_NAME_LEN)
        return host->Reject("OpenEx", CHANNEL_RC_UNKNOWN_CHANNEL_NAME, "no name, or one over 7 characters");
    UINT code = CHANNEL_RC_OK;
    {
        std::lock_guard<std::mutex> hold(host->m_lock);
        Channel *c = host->ChannelByName(name);
        if (!host->m_bConnected)
            code = CHANNEL_RC_NOT_CONNECTED;
        else if (!c)
            code = CHANNEL_RC_UNKNOWN_CHANNEL_NAME;
        else if (c->open)
            code = CHANNEL_RC_ALREADY_OPEN;
        else {
            c->open = true;
            c->openProc = proc;
            *openHandle = c->openHandle;
        }
    }
    if (code != CHANNEL_RC_OK)
        return host->Reject("OpenEx", code, name);
    host->Log(std::string("OpenEx: ") + name);
    return CHANNEL_RC_OK;
}

UINT VCAPITYPE CChannelHost::CloseEx(LPVOID initHandle, DWORD openHandle)
{
    CChannelHost *host = HostOf(initHandle);
    if (!host) {
        std::fprintf(stderr, "tarsel_vc_host: CloseEx with the init handle %s\n", Hex(initHandle).c_str());
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    UINT code = CHANNEL_RC_OK;
    std::string name;
    {
        std::lock_guard<std::mutex> hold(host->m_lock);
        Channel *c = host->ChannelByHandle(openHandle);
        if (!c)
            code = CHANNEL_RC_BAD_CHANNEL_HANDLE;
        else if (!c->open)
            code = CHANNEL_RC_NOT_OPEN;
        else {
            // Its queued writes are cancelled on the host's thread, to the
            // proc they were written with.
            c->open = false;
            name = c->name;
        }
        host->m_wake.notify_all();
    }
    if (code != CHANNEL_RC_OK)
        return host->Reject("CloseEx", code, "handle " + std::to_string(openHandle));
    host->Log("CloseEx: " + name);
    return CHANNEL_RC_OK;
}

UINT VCAPITYPE CChannelHost::WriteEx(LPVOID initHandle, DWORD openHandle, LPVOID data, ULONG length, LPVOID userData)
{
    CChannelHost *host = HostOf(initHandle);
    if (!host) {
        std::fprintf(stderr, "tarsel_vc_host: WriteEx with the init handle %s\n", Hex(initHandle).c_str());
        return CHANNEL_RC_BAD_INIT_HANDLE;
    }
    UINT code = CHANNEL_RC_OK;
    {
        std::lock_guard<std::mutex> hold(host->m_lock);
        Channel *c = host->ChannelByHandle(openHandle);
        if (!c)
            code = CHANNEL_RC_BAD_CHANNEL_HANDLE;
        else if (!host->m_bConnected || host->m_bTerminated)
            code = CHANNEL_RC_NOT_CONNECTED;
        else if (!data)
            code = CHANNEL_RC_NULL_DATA;
        else if (!length)
            code = CHANNEL_RC_ZERO_LENGTH;
        else if (!c->open)
            code = CHANNEL_RC_NOT_OPEN;
        else if (length > kMaxWrite)
            code = CHANNEL_RC_NO_BUFFER;
        else {
            c->writes.push_back(Write{static_cast<const unsigned char *>(data), static_cast<uint32_t>(length), userData,
                                      Clock::now() + kWriteWait});
            host->m_bWritePosted = true;
            host->m_wake.notify_all();
        }
    }
    if (code != CHANNEL_RC_OK)
        return host->Reject("WriteEx", code, "handle " + std::to_string(openHandle) + ", " + std::to_string(length) + " bytes");
    return CHANNEL_RC_OK;
}

// --- loading ------------------------------------------------------------------

bool CChannelHost::Load(const std::string &path, std::string *error)
{
    m_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_library) {
        *error = dlerror();
        return false;
    }
    auto entry = reinterpret_cast<PVIRTUALCHANNELENTRYEX>(dlsym(m_library, CHANNEL_EXPORT_FUNC_NAME_EX));
    if (!entry) {
        *error = path + " has no " CHANNEL_EXPORT_FUNC_NAME_EX;
        return false;
    }
    m_argStrings.push_back("tarsel");
    m_argStrings.insert(m_argStrings.end(), m_options.addinOptions.begin(), m_options.addinOptions.end());
    for (std::string &s : m_argStrings)
        m_argv.push_back(s.data());
    m_addinArgv.argc = static_cast<int>(m_argv.size());
    m_addinArgv.argv = m_argv.data();

    CHANNEL_ENTRY_POINTS_FREERDP_EX points{};
    points.cbSize = sizeof points;
    points.protocolVersion = VIRTUAL_CHANNEL_VERSION_WIN2000;
    points.pVirtualChannelInitEx = &CChannelHost::InitEx;
    points.pVirtualChannelOpenEx = &CChannelHost::OpenEx;
    points.pVirtualChannelCloseEx = &CChannelHost::CloseEx;
    points.pVirtualChannelWriteEx = &CChannelHost::WriteEx;
    points.MagicNumber = FREERDP_CHANNEL_MAGIC_NUMBER;
    points.pExtendedData = &m_addinArgv;
    points.context = nullptr;
    g_host = this;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bInEntry = true;
    }
    const BOOL ok = entry(reinterpret_cast<PCHANNEL_ENTRY_POINTS_EX>(&points), this);
    std::lock_guard<std::mutex> hold(m_lock);
    m_bInEntry = false;
    if (!ok) {
        *error = CHANNEL_EXPORT_FUNC_NAME_EX " returned FALSE";
        return false;
    }
    if (m_registrations.empty()) {
        *error = CHANNEL_EXPORT_FUNC_NAME_EX " called no InitEx";
        return false;
    }
    return true;
}

bool CChannelHost::Start(uint16_t port, std::string *error)
{
    if (!m_listener.Listen(port, error))
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CChannelHost::Stop()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bStop = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_listener.Stop();
    if (m_library) {
        dlclose(m_library);
        m_library = nullptr;
    }
    CChannelHost *self = this;
    g_host.compare_exchange_strong(self, nullptr);
}

std::string CChannelHost::Summary() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    const Counters &c = m_counters;
    return "summary: links=" + std::to_string(c.links) + " frames_in=" + std::to_string(c.framesIn) +
           " bytes_in=" + std::to_string(c.bytesIn) + " pieces=" + std::to_string(c.pieces) +
           " writes=" + std::to_string(c.writes) + " write_bytes=" + std::to_string(c.writeBytes) +
           " cancelled=" + std::to_string(c.cancelled) + " dropped=" + std::to_string(c.dropped) +
           " rejected_calls=" + std::to_string(c.rejectedCalls) + " roams=" + std::to_string(c.roams);
}

// --- the connection thread ------------------------------------------------------

void CChannelHost::CallInit(UINT event, const void *data, UINT length)
{
    std::vector<Registration> registrations;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        registrations = m_registrations;
    }
    // Each registration is told on its own, as FreeRDP does.
    for (const Registration &r : registrations)
        r.proc(r.userParam, this, event, const_cast<void *>(data), length);
}

void CChannelHost::Connect()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bConnected = true;
    }
    Log("CONNECTED");
    CallInit(CHANNEL_EVENT_CONNECTED, kHostName, sizeof kHostName - 1);
}

// As FreeRDP: what can still go is sent and the rest cancelled, the add-in
// hears of it while writes are still taken (they are cancelled after), and
// the relay's channel connections end with the session.
void CChannelHost::Disconnect()
{
    ProcessWrites(true);
    Log("DISCONNECTED");
    CallInit(CHANNEL_EVENT_DISCONNECTED, nullptr, 0);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bConnected = false;
        for (auto &[id, state] : m_links)
            state.link->Shut();
    }
    ProcessWrites(true);
}

void CChannelHost::RoamNow()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_bRoamNow = true;
    m_wake.notify_all();
}

void CChannelHost::Run()
{
    CallInit(CHANNEL_EVENT_INITIALIZED, nullptr, 0);
    Connect();
    enum class Roam { kWaiting, kDisconnected, kReconnecting, kDone } roam =
        m_options.roamAfterSeconds >= 0 ? Roam::kWaiting : Roam::kDone;
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(static_cast<long long>(m_options.roamAfterSeconds * 1000));
    for (;;) {
        std::deque<LinkEvent> events;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            // A write of the add-in wakes the loop at once: a request waiting
            // for the next tick costs the file a round trip's worth.
            m_wake.wait_for(hold, std::chrono::milliseconds(20),
                            [&] { return m_bStop || !m_events.empty() || m_bWritePosted || m_bRoamNow; });
            m_bWritePosted = false;
            if (m_bStop)
                break;
            events.swap(m_events);
        }
        // Frames of one channel that came together are delivered together
        // (with --split random they may then be merged).
        std::vector<std::pair<std::string, std::vector<std::vector<unsigned char>>>> incoming;
        for (LinkEvent &e : events) {
            if (e.kind != LinkEvent::kFrame) {
                HandleLinkEvent(std::move(e));
                continue;
            }
            const std::string name = e.link->Name();
            if (name == vcframe::kSessionLink) {
                const std::string text(e.bytes.begin(), e.bytes.end());
                Log("relay: " + text.substr(0, 40));
                if (text == vcframe::kReconnected) {
                    std::lock_guard<std::mutex> hold(m_lock);
                    m_bRelayReconnected = true;
                }
                continue;
            }
            {
                // ICA: the player program's connection and the server's control one.
                std::lock_guard<std::mutex> hold(m_lock);
                auto it = m_links.find(e.link->Id());
                if (it == m_links.end()) {
                    ++m_counters.dropped;   // of a connection the session's end closed
                    continue;
                }
                {
                    if (HasPlayerCode(e.bytes.data(), e.bytes.size()))
                        it->second.excluded = true;
                    else if (name == kIcaChannelName) {
                        const int32_t route = IcaRouteOf(e.bytes.data(), e.bytes.size());
                        if (route == CHANNEL_CONTROL || IsDataChannel(route))
                            m_preferred[name] = e.link->Id();
                    }
                }
                ++m_counters.framesIn;
                m_counters.bytesIn += e.bytes.size();
            }
            if (incoming.empty() || incoming.back().first != name)
                incoming.emplace_back(name, std::vector<std::vector<unsigned char>>{});
            TraceFrame("in", e.link->Id(), e.bytes.data(), e.bytes.size());
            incoming.back().second.push_back(std::move(e.bytes));
        }
        for (auto &[name, frames] : incoming)
            Deliver(name, std::move(frames));
        ProcessWrites(false);

        const Clock::time_point now = Clock::now();
        bool roamNow = false;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            roamNow = std::exchange(m_bRoamNow, false);
        }
        if (roam == Roam::kWaiting && (m_options.roamOnSignal ? roamNow : now >= due)) {
            Disconnect();
            std::shared_ptr<CLink> session;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                session = m_session;
                ++m_counters.roams;
                m_bRelayReconnected = false;
            }
            if (session)
                session->Send(vcframe::kDisconnect, std::strlen(vcframe::kDisconnect));
            char gap[32];
            std::snprintf(gap, sizeof gap, "%.1f", m_options.roamGapSeconds);
            Log(std::string("roam: disconnected; reconnect in ") + gap + " s");
            roam = Roam::kDisconnected;
            due = now + std::chrono::milliseconds(static_cast<long long>(m_options.roamGapSeconds * 1000));
        } else if (roam == Roam::kDisconnected && now >= due) {
            std::shared_ptr<CLink> session;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                session = m_session;
            }
            if (session)
                session->Send(vcframe::kReconnect, std::strlen(vcframe::kReconnect));
            Log("roam: reconnect sent");
            roam = Roam::kReconnecting;
            due = now + std::chrono::seconds(5);
        } else if (roam == Roam::kReconnecting) {
            bool back;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                back = m_bRelayReconnected || !m_session;
            }
            if (back || now >= due) {
                if (!back)
                    Log("roam: the relay did not answer the reconnect; connecting anyway");
                Connect();
                Log("roam: connected again");
                roam = Roam::kDone;
            }
        }
    }
    bool connected;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        connected = m_bConnected;
    }
    if (connected)
        Disconnect();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bTerminated = true;
    }
    Log("TERMINATED");
    CallInit(CHANNEL_EVENT_TERMINATED, nullptr, 0);
}

void CChannelHost::HandleLinkEvent(LinkEvent &&e)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const uint32_t id = e.link->Id();
    const std::string &name = e.link->Name();
    if (e.kind == LinkEvent::kOpened) {
        ++m_counters.links;
        if (name == vcframe::kSessionLink) {
            if (m_session)
                m_session->Shut();
            m_session = e.link;
        } else if (!m_bConnected) {
            // Only a session's programs connect; none between a disconnect and its reconnect.
            e.link->Shut();
        } else {
            m_links[id] = LinkState{e.link, false};
        }
        Log("link " + std::to_string(id) + " " + name + " open");
    } else if (e.kind == LinkEvent::kClosed) {
        if (m_session == e.link)
            m_session.reset();
        m_links.erase(id);
        auto preferred = m_preferred.find(name);
        if (preferred != m_preferred.end() && preferred->second == id)
            m_preferred.erase(preferred);
        Log("link " + std::to_string(id) + " " + name + " closed");
    }
}

void CChannelHost::DeliverPiece(PCHANNEL_OPEN_EVENT_EX_FN proc, DWORD handle, const unsigned char *data, uint32_t n,
                                uint32_t total, uint32_t flags)
{
    // A buffer of the piece's exact size, gone when the call returns: an
    // add-in that reads past it or keeps it is caught by the sanitizer.
    std::vector<unsigned char> piece(data, data + n);
    LPVOID userParam = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (const Channel *c = ChannelByHandle(handle))
            userParam = c->userParam;
        ++m_counters.pieces;
    }
    proc(userParam, handle, CHANNEL_EVENT_DATA_RECEIVED, piece.data(), n, total, flags);
}

void CChannelHost::Deliver(const std::string &name, std::vector<std::vector<unsigned char>> &&frames)
{
    PCHANNEL_OPEN_EVENT_EX_FN proc = nullptr;
    DWORD handle = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        const Channel *c = ChannelByName(name);
        if (!m_bConnected || !c || !c->open) {
            m_counters.dropped += frames.size();
            Log("dropped " + std::to_string(frames.size()) + " frames of " + name + (c ? ": not open" : ": no such channel"));
            return;
        }
        proc = c->openProc;
        handle = c->openHandle;
    }
    if (!m_options.randomSplit) {
        // As FreeRDP hands on what the server wrote: one write in pieces.
        for (const auto &f : frames) {
            const uint32_t total = static_cast<uint32_t>(f.size());
            for (uint32_t at = 0; at < total; at += kPiece) {
                const uint32_t n = std::min(kPiece, total - at);
                const uint32_t flags = (at == 0 ? CHANNEL_FLAG_FIRST : 0) | (at + n == total ? CHANNEL_FLAG_LAST : 0);
                DeliverPiece(proc, handle, f.data() + at, n, total, flags);
            }
        }
        return;
    }
    // A stack that keeps no boundaries: the bytes as one stream, cut into
    // writes and pieces anywhere.
    std::vector<unsigned char> stream;
    for (const auto &f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    size_t at = 0;
    while (at < stream.size()) {
        const size_t left = stream.size() - at;
        const uint32_t total = static_cast<uint32_t>(std::min<size_t>(left, 1 + m_random() % (3 * kPiece)));
        for (uint32_t done = 0; done < total;) {
            const uint32_t n = std::min<uint32_t>(total - done, 1 + m_random() % kPiece);
            const uint32_t flags = (done == 0 ? CHANNEL_FLAG_FIRST : 0) | (done + n == total ? CHANNEL_FLAG_LAST : 0);
            DeliverPiece(proc, handle, stream.data() + at + done, n, total, flags);
            done += n;
        }
        at += total;
    }
}

// The message's code and header words as the emulator prints them.
void CChannelHost::TraceFrame(const char *way, uint32_t link, const unsigned char *data, size_t n) const
{
    if (!m_options.traceFrames)
        return;
    char line[160];
    if (n < kHeaderSize) {
        std::snprintf(line, sizeof line, "frame %s link %u: %zu bytes", way, link, n);
    } else {
        char code[5] = {};
        for (int i = 0; i < 4; ++i)
            code[i] = data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
        const MessageHeader h = LoadHeader(data);
        std::snprintf(line, sizeof line, "frame %s link %u: %s size=%u psn=%u channel=%d chunk=%u/%u bytes=%zu%s%d", way,
                      link, code, h.dwMessageDataSize, h.dwPSN, h.dwChannelNumber, h.dwChunkIndex, h.dwLastChunk, n,
                      n >= kHeaderSize + 4 ? " word0=" : "", n >= kHeaderSize + 4 ? LoadLE32s(data + kHeaderSize) : 0);
    }
    Log(line);
}

// Where a write of the channel goes: the preferred connection (ICA: the
// server's control one), or on ICA before there is one each connection that
// may be it, on RDP the earliest; never the player program's.
std::vector<std::shared_ptr<CLink>> CChannelHost::TargetsOf(const std::string &name) const
{
    std::vector<std::shared_ptr<CLink>> targets;
    auto preferred = m_preferred.find(name);
    if (preferred != m_preferred.end()) {
        auto it = m_links.find(preferred->second);
        if (it != m_links.end())
            return {it->second.link};
    }
    for (const auto &[id, state] : m_links) {
        if (state.link->Name() != name || state.excluded)
            continue;
        targets.push_back(state.link);
        if (name != kIcaChannelName)
            break;   // m_links is ordered by id: the earliest
    }
    return targets;
}

bool CChannelHost::NextWrite(bool cancelWaiting, WriteAction *out)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const Clock::time_point now = Clock::now();
    for (Channel &c : m_channels) {
        if (c.writes.empty())
            continue;
        std::vector<std::shared_ptr<CLink>> targets;
        if (c.open && m_bConnected)
            targets = TargetsOf(c.name);
        if (targets.empty() && !cancelWaiting && c.open && m_bConnected && now < c.writes.front().deadline)
            continue;   // waits for its connection
        out->write = c.writes.front();
        c.writes.pop_front();
        out->proc = c.openProc;
        out->openHandle = c.openHandle;
        out->targets = std::move(targets);
        return true;
    }
    return false;
}

void CChannelHost::CarryOut(WriteAction &&a)
{
    bool sent = false;
    for (const auto &link : a.targets)
    {
        TraceFrame("out", link->Id(), a.write.data, a.write.length);
        sent = link->Send(a.write.data, a.write.length) || sent;
    }
    LPVOID userParam = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (const Channel *c = ChannelByHandle(a.openHandle))
            userParam = c->userParam;
        if (sent) {
            ++m_counters.writes;
            m_counters.writeBytes += a.write.length;
        } else {
            ++m_counters.cancelled;
        }
    }
    if (!sent)
        Log("write of " + std::to_string(a.write.length) + " bytes cancelled: no connection for it");
    if (a.proc)
        a.proc(userParam, a.openHandle, sent ? CHANNEL_EVENT_WRITE_COMPLETE : CHANNEL_EVENT_WRITE_CANCELLED,
               a.write.userData, a.write.length, a.write.length, 0);
}

void CChannelHost::ProcessWrites(bool cancelWaiting)
{
    WriteAction action;
    while (NextWrite(cancelWaiting, &action)) {
        CarryOut(std::move(action));
        action = WriteAction{};
    }
}

} // namespace vchost
