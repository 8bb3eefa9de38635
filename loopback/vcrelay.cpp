// vcrelay: the session's channels of the loopback platform carried over TCP
// to a channel host outside Wine (loopback/host), so that the Windows
// programs talk to a native client add-in without a remote desktop.
//
//   vcrelay --tcp 127.0.0.1:PORT [--protocol rdp|ica] [--seconds N]
//
// It keeps the session's pipes listening as pyxclient does (RDP: pyxcm,
// pyxan, pyx00 ... pyx09; ICA: ZRBCHNL with an instance per open). Each pipe
// instance a program connects gets a TCP connection of its own to the host,
// whose first frame names the channel; from then on one pipe message is one
// frame and one frame one pipe write (vc_frame.h). When either end closes,
// so does the other. A session connection (vcframe::kSessionLink) carries
// the host's "disconnect" and "reconnect": the relay then leaves the session
// and comes back as pyxclient's roam does (the session's state, every pipe
// closed, the registered windows told). It ends when the host closes the
// session connection or after N seconds, with a summary line.
#include "pipe_io.h"
#include "protocol.h"
#include "session_state.h"
#include "vc_frame.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();
std::mutex g_logLock;

void Log(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
    std::lock_guard<std::mutex> hold(g_logLock);
    std::printf("vcrelay: %s ms=%.1f\n", line, ms);
    std::fflush(stdout);
}

struct Counters
{
    std::atomic<uint32_t> connections{0};
    std::atomic<uint64_t> toHost{0};      // frames
    std::atomic<uint64_t> toPrograms{0};  // pipe writes
    std::atomic<uint32_t> rejected{0};    // frames or messages over the limit, failed writes
};
Counters g_counters;

class CSocket
{
public:
    CSocket() = default;
    explicit CSocket(SOCKET s) : m_socket(s) {}
    ~CSocket() { Reset(); }
    CSocket(const CSocket &) = delete;
    CSocket &operator=(const CSocket &) = delete;
    SOCKET Get() const { return m_socket; }
    explicit operator bool() const { return m_socket != INVALID_SOCKET; }
    void Reset(SOCKET s = INVALID_SOCKET)
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        m_socket = s;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
};

// One TCP connection to the host: frames out under a lock, frames in on
// one reader that sees `stop` within 200 ms.
class CLink
{
public:
    bool Connect(const sockaddr_in &host, const std::string &name)
    {
        m_socket.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!m_socket)
            return false;
        BOOL noDelay = TRUE;
        setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay), sizeof noDelay);
        if (connect(m_socket.Get(), reinterpret_cast<const sockaddr *>(&host), sizeof host) != 0) {
            m_socket.Reset();
            return false;
        }
        return Send(name.data(), name.size());
    }

    bool Send(const void *data, size_t n)
    {
        const std::vector<unsigned char> frame = vcframe::MakeFrame(data, n);
        std::lock_guard<std::mutex> hold(m_sendLock);
        size_t at = 0;
        while (at < frame.size()) {
            const int sent = send(m_socket.Get(), reinterpret_cast<const char *>(frame.data() + at),
                                  static_cast<int>(frame.size() - at), 0);
            if (sent <= 0)
                return false;
            at += static_cast<size_t>(sent);
        }
        return true;
    }

    vcframe::ReadResult Read(std::vector<unsigned char> *out, uint32_t *length, const std::atomic<bool> &stop)
    {
        return vcframe::ReadFrame([&](void *buffer, size_t n) { return ReadExact(buffer, n, stop); }, out, length);
    }

    // Ends a reader's wait at once and the host's side of the connection.
    void Shut() { shutdown(m_socket.Get(), SD_BOTH); }

private:
    bool ReadExact(void *buffer, size_t n, const std::atomic<bool> &stop)
    {
        auto *p = static_cast<char *>(buffer);
        while (n > 0) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket.Get(), &readable);
            timeval wait{0, 200000};
            const int ready = select(0, &readable, nullptr, nullptr, &wait);
            if (stop || ready < 0)
                return false;
            if (ready == 0)
                continue;
            const int got = recv(m_socket.Get(), p, static_cast<int>(n), 0);
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    CSocket m_socket;
    std::mutex m_sendLock;
};

// One pipe instance of a channel: listens, and for each program that
// connects relays its messages over a link of their own until either ends.
class CPipeRelay
{
public:
    CPipeRelay(std::string channel, int instances, int index, const sockaddr_in &host)
        : m_channel(std::move(channel)), m_instances(instances), m_index(index), m_host(host)
    {
    }
    ~CPipeRelay() { Stop(); }
    CPipeRelay(const CPipeRelay &) = delete;
    CPipeRelay &operator=(const CPipeRelay &) = delete;

    bool Create()
    {
        const std::wstring name = loopback::PipeName(m_channel.c_str());
        const HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, m_instances,
                                             1 << 20, 1 << 20, 0, nullptr);
        m_pipe.Reset(pipe == INVALID_HANDLE_VALUE ? nullptr : pipe);
        return static_cast<bool>(m_pipe);
    }
    void Start() { m_thread = std::thread([this] { Serve(); }); }
    void Stop()
    {
        m_stop = true;
        if (m_pipe)
            CancelIoEx(m_pipe.Get(), nullptr);
        if (m_thread.joinable())
            m_thread.join();
        m_pipe.Reset();
    }

private:
    bool WaitForProgram()
    {
        OVERLAPPED ov{};
        CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ov.hEvent = event.Get();
        BOOL ok = ConnectNamedPipe(m_pipe.Get(), &ov);
        DWORD error = ok ? 0 : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            while (!m_stop && WaitForSingleObject(ov.hEvent, 100) == WAIT_TIMEOUT) {
            }
            DWORD n = 0;
            if (m_stop) {
                CancelIoEx(m_pipe.Get(), &ov);
                GetOverlappedResult(m_pipe.Get(), &ov, &n, TRUE);
                return false;
            }
            ok = GetOverlappedResult(m_pipe.Get(), &ov, &n, FALSE);
            error = ok ? 0 : GetLastError();
        }
        return ok || error == ERROR_PIPE_CONNECTED;
    }

    void Serve()
    {
        std::vector<unsigned char> buffer(vcframe::kMaxFrame + 1);
        while (!m_stop) {
            if (!WaitForProgram()) {
                if (!m_stop)
                    Sleep(20);
                continue;
            }
            const uint32_t id = ++g_counters.connections;
            CLink link;
            if (!link.Connect(m_host, m_channel)) {
                Log("%s#%d: connection %u: the host does not answer (%d)", m_channel.c_str(), m_index, id,
                    WSAGetLastError());
                DisconnectNamedPipe(m_pipe.Get());
                continue;
            }
            Log("%s#%d: connection %u open", m_channel.c_str(), m_index, id);
            std::atomic<bool> done{false};
            std::thread toProgram([&] { RelayToProgram(link, done, id); });
            while (!done && !m_stop) {
                DWORD n = 0;
                // Bounded reads, so that the other direction's end and Stop are seen.
                if (!loopback::PipeIo(m_pipe.Get(), false, buffer.data(), static_cast<DWORD>(buffer.size()), &n, 200)) {
                    if (GetLastError() == WAIT_TIMEOUT)
                        continue;
                    break;
                }
                if (n > vcframe::kMaxFrame) {
                    ++g_counters.rejected;
                    Log("%s#%d: connection %u: a message over %u bytes from the program; closed", m_channel.c_str(),
                        m_index, id, vcframe::kMaxFrame);
                    break;
                }
                if (n == 0)
                    continue;
                if (!link.Send(buffer.data(), n))
                    break;
                ++g_counters.toHost;
            }
            done = true;
            link.Shut();
            toProgram.join();
            DisconnectNamedPipe(m_pipe.Get());
            Log("%s#%d: connection %u closed", m_channel.c_str(), m_index, id);
        }
    }

    void RelayToProgram(CLink &link, std::atomic<bool> &done, uint32_t id)
    {
        std::vector<unsigned char> frame;
        uint32_t length = 0;
        while (!done && !m_stop) {
            const vcframe::ReadResult result = link.Read(&frame, &length, done);
            if (result == vcframe::ReadResult::kTooLong) {
                ++g_counters.rejected;
                Log("%s#%d: connection %u: a frame of %u bytes from the host; closed", m_channel.c_str(), m_index, id,
                    length);
                break;
            }
            if (result != vcframe::ReadResult::kFrame)
                break;
            if (frame.empty())
                continue;
            DWORD n = 0;
            // A program that reads nothing for this long is stuck; its connection goes.
            if (!loopback::PipeIo(m_pipe.Get(), true, frame.data(), static_cast<DWORD>(frame.size()), &n, 30000) ||
                n != frame.size()) {
                const DWORD error = GetLastError();
                // A program that closed its end as the frame came (ICA: the
                // host writes to every connection that may be the server's)
                // is no fault of either side.
                const bool closed = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
                if (!closed)
                    ++g_counters.rejected;
                Log("%s#%d: connection %u: %s (%lu); closed", m_channel.c_str(), m_index, id,
                    closed ? "the program had closed its end" : "the program took no message", error);
                break;
            }
            ++g_counters.toPrograms;
        }
        done = true;
        // The pipe's reader sees `done` within its bounded read; cancel it
        // now so that the program learns of the end at once.
        CancelIoEx(m_pipe.Get(), nullptr);
    }

    std::string m_channel;
    int m_instances;
    int m_index;
    sockaddr_in m_host;
    CHandle m_pipe;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// Every pipe instance of the session's layout.
class CSessionPipes
{
public:
    CSessionPipes(bool ica, const sockaddr_in &host) : m_bIca(ica), m_host(host) {}

    bool Listen()
    {
        std::vector<std::pair<std::string, int>> layout;
        if (m_bIca) {
            layout.emplace_back(kIcaChannelName, 12);
        } else {
            layout.emplace_back(kRdpControlChannelName, 1);
            layout.emplace_back(kRdpPlayerChannelName, 2);
            for (int n = 0; n < kDataChannelCount; ++n) {
                char name[8];
                RdpDataChannelName(n, name, sizeof name);
                layout.emplace_back(name, 1);
            }
        }
        for (const auto &[channel, instances] : layout) {
            for (int i = 0; i < instances; ++i) {
                auto relay = std::make_unique<CPipeRelay>(channel, instances, i, m_host);
                if (!relay->Create()) {
                    Log("cannot listen on %s (%lu)", channel.c_str(), GetLastError());
                    Close();
                    return false;
                }
                m_relays.push_back(std::move(relay));
            }
        }
        for (auto &relay : m_relays)
            relay->Start();
        return true;
    }
    void Close() { m_relays.clear(); }

private:
    bool m_bIca;
    sockaddr_in m_host;
    std::vector<std::unique_ptr<CPipeRelay>> m_relays;
};

class CWinsock
{
public:
    CWinsock() { m_bOk = WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }
    ~CWinsock()
    {
        if (m_bOk)
            WSACleanup();
    }
    CWinsock(const CWinsock &) = delete;
    CWinsock &operator=(const CWinsock &) = delete;
    bool Ok() const { return m_bOk; }

private:
    WSADATA m_data{};
    bool m_bOk = false;
};

bool ParseAddress(const std::string &text, sockaddr_in *out)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    const int port = std::atoi(text.c_str() + colon + 1);
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<u_short>(port));
    return port > 0 && port < 65536 && inet_pton(AF_INET, text.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

} // namespace

int main(int argc, char **argv)
{
    sockaddr_in host{};
    bool haveHost = false;
    bool usage = false;
    bool ica = false;
    int seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--tcp") && i + 1 < argc)
            haveHost = ParseAddress(argv[++i], &host);
        else if (!std::strcmp(argv[i], "--protocol") && i + 1 < argc)
            ica = !std::strcmp(argv[++i], "ica");
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else
            usage = true;
    }
    if (!haveHost || usage) {
        std::fprintf(stderr, "usage: vcrelay --tcp 127.0.0.1:PORT [--protocol rdp|ica] [--seconds N]\n");
        return 2;
    }
    CWinsock winsock;
    if (!winsock.Ok())
        return 1;

    // The host listens before the relay starts; a moment's grace for a busy machine.
    CLink session;
    bool linked = false;
    for (int tries = 0; tries < 50 && !(linked = session.Connect(host, vcframe::kSessionLink)); ++tries)
        Sleep(200);
    if (!linked) {
        Log("no host at port %u", ntohs(host.sin_port));
        return 1;
    }
    loopback::CSessionState state;
    state.MarkConnected();
    auto pipes = std::make_unique<CSessionPipes>(ica, host);
    if (!pipes->Listen())
        return 1;
    Log("listening (%s)", ica ? "ica" : "rdp");

    std::atomic<bool> stop{false};
    std::thread timer;
    if (seconds > 0) {
        timer = std::thread([&] {
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            while (!stop && Clock::now() < end)
                Sleep(100);
            stop = true;
        });
    }
    bool connected = true;
    uint32_t roams = 0;
    std::vector<unsigned char> frame;
    uint32_t length = 0;
    while (!stop) {
        const vcframe::ReadResult result = session.Read(&frame, &length, stop);
        if (result == vcframe::ReadResult::kTooLong) {
            ++g_counters.rejected;
            Log("session: a frame of %u bytes from the host; ending", length);
            break;
        }
        if (result != vcframe::ReadResult::kFrame) {
            if (!stop)
                Log("session: the host closed the session connection");
            break;
        }
        const std::string command(frame.begin(), frame.end());
        if (command == vcframe::kDisconnect && connected) {
            // The state first: a program whose channel fails already reads it.
            state.MarkDisconnected();
            pipes->Close();
            connected = false;
            ++roams;
            Log("disconnected");
            loopback::CSessionState::NotifyWindows(ica, false);
            session.Send(vcframe::kDisconnected, std::strlen(vcframe::kDisconnected));
        } else if (command == vcframe::kReconnect && !connected) {
            pipes = std::make_unique<CSessionPipes>(ica, host);
            if (!pipes->Listen())
                break;
            state.MarkConnected();
            connected = true;
            Log("reconnected");
            loopback::CSessionState::NotifyWindows(ica, true);
            session.Send(vcframe::kReconnected, std::strlen(vcframe::kReconnected));
        } else {
            Log("session: \"%.40s\" ignored (%u bytes)", command.c_str(), length);
        }
    }
    stop = true;
    if (timer.joinable())
        timer.join();
    pipes.reset();
    Log("summary: connections=%u frames_to_host=%llu writes_to_programs=%llu rejected=%u roams=%u",
        g_counters.connections.load(), static_cast<unsigned long long>(g_counters.toHost.load()),
        static_cast<unsigned long long>(g_counters.toPrograms.load()), g_counters.rejected.load(), roams);
    return 0;
}
