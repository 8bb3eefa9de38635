// tarsel_xrdp_bridge: the loopback platform's channels inside an xrdp
// session. Programs under Wine reach the session's static channels only
// through a Linux process (Wine's Winsock has no AF_UNIX, its wtsapi32
// opens no channel): vcrelay carries their pipes over TCP to this bridge,
// which opens each channel through libxrdpapi and relays both ways.
//
//   tarsel_xrdp_bridge --listen PORT [--reconnects FILE] [--seconds N]
//
// Run with the session's DISPLAY (libxrdpapi finds xrdp-chansrv's socket by
// it) as a user that may open that socket. Towards the programs one frame is
// one message, as their pipes keep them; the channel from xrdp is a byte
// stream (xrdp merges and cuts), cut back into messages by the header's
// size. ZRBCHNL, opened once per file by the programs, is opened once here
// and its messages routed as the emulator routes them. A data channel is
// opened here before the OPEN reply that names it goes on to the client, as
// the platform's open is done before the server replies. A channel xrdp
// refuses or closes closes the programs' side too.
//
// xrdp tells programs under Wine nothing when the client leaves and comes
// back, and keeps the session's channels open across it, dead. xrdp's
// session manager runs a script on each reconnect: with --reconnects, FILE
// is what that script appends a line to. On each new line the bridge has
// the relay leave the session and come back as the loopback platform's
// roam does (the programs' channels close, the registered windows hear of
// the disconnect and the reconnect), with the session's channels opened
// afresh, so that the programs find the client again. It ends on SIGTERM or
// SIGINT or after N seconds, with a summary line.
#include "client_ops.h"
#include "message_stream.h"
#include "player_check.h"
#include "protocol.h"
#include "relay_links.h"
#include "xrdpapi_decl.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();
std::mutex g_printLock;

void Print(const std::string &line)
{
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
    std::lock_guard<std::mutex> hold(g_printLock);
    std::printf("bridge: %s ms=%.1f\n", line.c_str(), ms);
    std::fflush(stdout);
}

class CPrintLog final : public CClientLogOps
{
public:
    void Line(const std::string &text) override { Print(text); }
};

struct Api
{
    xrdpapi::OpenEx open = nullptr;
    xrdpapi::Write write = nullptr;
    xrdpapi::Read read = nullptr;
    xrdpapi::Close close = nullptr;

    bool Load(std::string *error)
    {
        void *lib = nullptr;
        for (const char *path : {"libxrdpapi.so.0", "/usr/lib/x86_64-linux-gnu/xrdp/libxrdpapi.so.0",
                                 "/usr/lib/aarch64-linux-gnu/xrdp/libxrdpapi.so.0", "/usr/lib/xrdp/libxrdpapi.so.0"})
            if ((lib = dlopen(path, RTLD_NOW)))
                break;
        if (!lib) {
            *error = "libxrdpapi not found (is xrdp installed?)";
            return false;
        }
        open = reinterpret_cast<xrdpapi::OpenEx>(dlsym(lib, "WTSVirtualChannelOpenEx"));
        write = reinterpret_cast<xrdpapi::Write>(dlsym(lib, "WTSVirtualChannelWrite"));
        read = reinterpret_cast<xrdpapi::Read>(dlsym(lib, "WTSVirtualChannelRead"));
        close = reinterpret_cast<xrdpapi::Close>(dlsym(lib, "WTSVirtualChannelClose"));
        if (!open || !write || !read || !close) {
            *error = "libxrdpapi lacks the channel functions";
            return false;
        }
        return true;
    }
};

struct Counters
{
    std::atomic<uint64_t> toClient{0}, toClientBytes{0}, toServer{0}, toServerBytes{0}, unrouted{0};
};

// One of the session's channels, opened through xrdp, with the programs'
// connections that use it.
class CChannel
{
public:
    CChannel(std::string name, void *handle, const Api &api, Counters &counters)
        : m_name(std::move(name)), m_handle(handle), m_api(api), m_counters(counters),
          m_stream(m_name, m_log)
    {
        m_reader = std::thread([this] { ReadLoop(); });
    }
    ~CChannel()
    {
        m_bStop = true;
        if (m_reader.joinable())
            m_reader.join();
        m_api.close(m_handle);
    }

    bool Closed() const { return m_bClosed; }
    const std::string &Name() const { return m_name; }

    void AddLink(const std::shared_ptr<vchost::CLink> &link)
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_links.push_back({link, false});
        }
        SendHeld();
    }
    void RemoveLink(uint32_t id)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto it = m_links.begin(); it != m_links.end(); ++it)
            if (it->link->Id() == id) {
                m_links.erase(it);
                break;
            }
        if (m_preferred == id)
            m_preferred = 0;
    }

    // A program's message: to the client, whole (xrdp may still cut it).
    bool FromProgram(const std::shared_ptr<vchost::CLink> &link, const std::vector<unsigned char> &msg)
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            // The emulator's rule: the connection that sends the player's
            // messages never reads; one that sends replies or data is the
            // server's control connection, where requests go.
            for (auto &l : m_links)
                if (l.link == link && HasPlayerCode(msg.data(), msg.size()))
                    l.excluded = true;
            if (m_name == kIcaChannelName && !HasPlayerCode(msg.data(), msg.size())) {
                const int32_t route = IcaRouteOf(msg.data(), msg.size());
                if (route == CHANNEL_CONTROL || IsDataChannel(route))
                    m_preferred = link->Id();
            }
        }
        std::lock_guard<std::mutex> hold(m_writeLock);
        size_t at = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (at < msg.size()) {
            unsigned int written = 0;
            if (!m_api.write(m_handle, reinterpret_cast<const char *>(msg.data() + at),
                             static_cast<unsigned int>(msg.size() - at), &written)) {
                Print(m_name + ": xrdp refused a write");
                m_bClosed = true;
                return false;
            }
            at += written;
            if (written == 0) {
                if (Clock::now() > deadline) {
                    Print(m_name + ": xrdp took nothing for 10 s");
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        ++m_counters.toClient;
        m_counters.toClientBytes += msg.size();
        return true;
    }

    // Every connection of the channel closes (xrdp closed it).
    void ShutLinks()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto &l : m_links)
            l.link->Shut();
    }

private:
    struct LinkState
    {
        std::shared_ptr<vchost::CLink> link;
        bool excluded;
    };

    void ReadLoop()
    {
        std::vector<char> buffer(64 * 1024);
        while (!m_bStop) {
            unsigned int n = 0;
            if (!m_api.read(m_handle, 100, buffer.data(), static_cast<unsigned int>(buffer.size()), &n)) {
                Print(m_name + ": xrdp closed the channel");
                m_bClosed = true;
                ShutLinks();
                return;
            }
            SendHeld();
            if (n == 0)
                continue;
            m_stream.Feed(reinterpret_cast<unsigned char *>(buffer.data()), n,
                          [&](const unsigned char *msg, size_t length) { ToPrograms(msg, length); });
        }
    }

    std::vector<std::shared_ptr<vchost::CLink>> TargetsLocked() const
    {
        std::vector<std::shared_ptr<vchost::CLink>> targets;
        for (const auto &l : m_links)
            if (m_preferred != 0 && l.link->Id() == m_preferred)
                targets = {l.link};
        if (targets.empty())
            for (const auto &l : m_links) {
                if (l.excluded)
                    continue;
                targets.push_back(l.link);
                if (m_name != kIcaChannelName)
                    break;   // the earliest
            }
        return targets;
    }

    // Messages held for want of a program: sent once one can take them, or
    // dropped after 5 s (a program's channel opens a moment after the
    // client's request may come: the server's after a reconnect).
    void SendHeld()
    {
        std::vector<std::pair<std::vector<unsigned char>, std::vector<std::shared_ptr<vchost::CLink>>>> ready;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            const auto now = Clock::now();
            while (!m_held.empty()) {
                auto targets = TargetsLocked();
                if (targets.empty()) {
                    if (now - m_held.front().first < std::chrono::seconds(5))
                        break;
                    ++m_counters.unrouted;
                    Print(m_name + ": " + std::to_string(m_held.front().second.size()) +
                          " bytes from the client and no program took them in 5 s");
                    m_held.pop_front();
                    continue;
                }
                ready.emplace_back(std::move(m_held.front().second), std::move(targets));
                m_held.pop_front();
            }
        }
        for (auto &[msg, targets] : ready)
            Deliver(msg.data(), msg.size(), targets);
    }

    void Deliver(const unsigned char *msg, size_t n, const std::vector<std::shared_ptr<vchost::CLink>> &targets)
    {
        for (const auto &link : targets)
            link->Send(msg, n);
        ++m_counters.toServer;
        m_counters.toServerBytes += n;
    }

    void ToPrograms(const unsigned char *msg, size_t n)
    {
        std::vector<std::shared_ptr<vchost::CLink>> targets;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            // Behind what is held already, in order.
            if (m_held.empty())
                targets = TargetsLocked();
            if (targets.empty()) {
                m_held.emplace_back(Clock::now(), std::vector<unsigned char>(msg, msg + n));
                return;
            }
        }
        Deliver(msg, n, targets);
    }

    std::string m_name;
    void *m_handle;
    const Api &m_api;
    Counters &m_counters;
    CPrintLog m_log;
    CMessageStream m_stream;   // the reader's alone
    std::mutex m_lock;         // m_links, m_preferred
    std::vector<LinkState> m_links;
    std::deque<std::pair<Clock::time_point, std::vector<unsigned char>>> m_held;
    uint32_t m_preferred = 0;
    std::mutex m_writeLock;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bClosed{false};
    std::thread m_reader;
};

int Usage()
{
    std::fprintf(stderr, "usage: tarsel_xrdp_bridge --listen PORT [--seconds N]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    long port = -1;
    double seconds = 0;
    std::string reconnects;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--listen")
            port = std::strtol(argv[i + 1], nullptr, 10);
        else if (a == "--reconnects")
            reconnects = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else
            return Usage();
    }
    if (port < 0 || port > 65535 || argc % 2 == 0)
        return Usage();
    Api api;
    std::string error;
    if (!api.Load(&error)) {
        Print(error);
        return 1;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Counters counters;
    std::mutex lock;   // channels
    std::map<std::string, std::unique_ptr<CChannel>> channels;
    std::map<uint32_t, std::string> linkChannel;
    uint32_t links = 0, refused = 0, roams = 0;
    std::shared_ptr<vchost::CLink> session;   // the relay's session connection
    std::string relayAnswer;                  // its last answer to a roam
    // The session's channel NAME, opened through xrdp unless it is open
    // already (under `lock`); null if xrdp refuses it.
    auto openInSession = [&](const std::string &name) -> CChannel * {
        auto it = channels.find(name);
        if (it != channels.end() && it->second->Closed())
            channels.erase(it), it = channels.end();
        if (it == channels.end()) {
            void *h = api.open(xrdpapi::kCurrentSession, name.c_str(), xrdpapi::kStaticChannel);
            if (!h) {
                ++refused;
                Print(name + ": xrdp refused the channel");
                return nullptr;
            }
            Print(name + ": opened in the session");
            it = channels.emplace(name, std::make_unique<CChannel>(name, h, api, counters)).first;
        }
        return it->second.get();
    };
    auto handle = [&](vchost::LinkEvent &&e) {
        const std::string name = e.link->Name();
        std::lock_guard<std::mutex> hold(lock);
        if (name == vcframe::kSessionLink) {
            if (e.kind == vchost::LinkEvent::kOpened)
                session = e.link;
            else if (e.kind == vchost::LinkEvent::kFrame)
                relayAnswer.assign(e.bytes.begin(), e.bytes.end());
            else if (session == e.link)
                session.reset();
            return;
        }
        if (e.kind == vchost::LinkEvent::kOpened) {
            ++links;
            CChannel *channel = openInSession(name);
            if (!channel) {
                e.link->Shut();
                return;
            }
            channel->AddLink(e.link);
            linkChannel[e.link->Id()] = name;
        } else if (e.kind == vchost::LinkEvent::kFrame) {
            // The server's data channel is open once the OPEN reply that
            // names it leaves, as the platform's open returns only then; the
            // relay's link for it may come a moment after the reply, and xrdp
            // drops what the client sends on a channel nobody has open.
            char data[8];
            OpenReply opened{};
            if (name == kRdpControlChannelName &&
                ReadOpenReply(e.bytes.data(), static_cast<uint32_t>(e.bytes.size()), &opened) &&
                MessageType(e.bytes.data()) == PYXMSG_RPC_OPEN && opened.fileDesc != -1 &&
                RdpDataChannelName(opened.channel, data, sizeof data))
                openInSession(data);
            auto it = channels.find(name);
            if (it == channels.end() || !it->second->FromProgram(e.link, e.bytes))
                e.link->Shut();
        } else {
            auto it = channels.find(name);
            if (it != channels.end())
                it->second->RemoveLink(e.link->Id());
            linkChannel.erase(e.link->Id());
        }
    };
    vchost::CRelayListener listener(handle, Print);
    if (!listener.Listen(static_cast<uint16_t>(port), &error)) {
        Print("cannot listen: " + error);
        return 1;
    }
    Print("listening on 127.0.0.1:" + std::to_string(port) + " for DISPLAY " +
          (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(none)"));
    // Tells the relay and waits at most 5 s for its answer.
    auto tellRelay = [&](const char *what, const char *answer) {
        std::shared_ptr<vchost::CLink> link;
        {
            std::lock_guard<std::mutex> hold(lock);
            link = session;
            relayAnswer.clear();
        }
        if (!link || !link->Send(what, std::strlen(what))) {
            Print(std::string("no relay to tell \"") + what + "\"");
            return;
        }
        for (int i = 0; i < 50; ++i) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (relayAnswer == answer)
                    return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Print(std::string("the relay did not answer \"") + what + "\"");
    };
    auto lines = [&]() -> long {
        std::FILE *f = reconnects.empty() ? nullptr : std::fopen(reconnects.c_str(), "r");
        if (!f)
            return 0;
        long n = 0;
        for (int c; (c = std::fgetc(f)) != EOF;)
            n += c == '\n';
        std::fclose(f);
        return n;
    };
    long reconnectsSeen = lines();
    std::string why = "the time is up";
    for (;;) {
        if (const long now = lines(); now > reconnectsSeen) {
            reconnectsSeen = now;
            ++roams;
            Print("the client came back to the session: the programs leave it and come back");
            tellRelay(vcframe::kDisconnect, vcframe::kDisconnected);
            {
                std::lock_guard<std::mutex> hold(lock);
                channels.clear();   // dead since the client left
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            tellRelay(vcframe::kReconnect, vcframe::kReconnected);
        }
        const timespec wait{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGTERM || signal == SIGINT) {
            why = signal == SIGTERM ? "SIGTERM" : "SIGINT";
            break;
        }
        if (seconds > 0 && Clock::now() - g_start >= std::chrono::duration<double>(seconds))
            break;
    }
    Print("ending: " + why);
    listener.Stop();
    {
        std::lock_guard<std::mutex> hold(lock);
        channels.clear();
    }
    Print("summary: links=" + std::to_string(links) + " refused=" + std::to_string(refused) +
          " to_client=" + std::to_string(counters.toClient) + " to_client_bytes=" +
          std::to_string(counters.toClientBytes) + " to_server=" + std::to_string(counters.toServer) +
          " to_server_bytes=" + std::to_string(counters.toServerBytes) + " unrouted=" +
          std::to_string(counters.unrouted) + " roams=" + std::to_string(roams));
    return 0;
}
