#include "http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace loopback {

namespace {

constexpr size_t kMaxHead = 16 * 1024;
constexpr size_t kBlock = 64 * 1024;
// A connection left idle, or a client that stops reading, gives up after this.
constexpr DWORD kIdleMs = 30000;
constexpr DWORD kSendMs = 15000;

SOCKET AsSocket(uintptr_t s) { return static_cast<SOCKET>(s); }

// Sockets are non-blocking: every wait is a short select, so a stop is seen
// within 100 ms whatever the client does.
bool WaitReady(SOCKET s, bool write, const std::atomic<bool> &stop, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, 100 * 1000};
        const int ready = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &wait);
        if (ready > 0)
            return true;
        if (ready < 0 || GetTickCount() - start >= timeoutMs)
            return false;
    }
    return false;
}

bool SendAll(SOCKET s, const void *data, size_t size, const std::atomic<bool> &stop)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const int piece = static_cast<int>(std::min(size, kBlock));
        const int sent = send(s, p, piece, 0);
        if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!WaitReady(s, true, stop, kSendMs))
                return false;
            continue;
        }
        if (sent <= 0)
            return false;
        p += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Some bytes, or 0 at the end of the connection, a time-out, an error or a stop.
int Receive(SOCKET s, char *buffer, int size, const std::atomic<bool> &stop)
{
    for (;;) {
        const int got = recv(s, buffer, size, 0);
        if (got >= 0)
            return got;
        if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, false, stop, kIdleMs))
            return 0;
    }
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string &s)
{
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t'))
        --b;
    return s.substr(a, b - a);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Decimal digits only; false on anything else or on overflow.
bool ParseUnsigned(const std::string &s, int64_t *value)
{
    if (s.empty() || s.size() > 18)
        return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

enum class RangeKind
{
    None,        // absent, malformed or several ranges: the whole body
    Part,        // first..last
    Unsatisfiable,
};

RangeKind ParseRange(const std::string &header, int64_t size, int64_t *first, int64_t *last)
{
    const std::string h = Lower(Trim(header));
    if (h.compare(0, 6, "bytes=") != 0)
        return RangeKind::None;
    const std::string ranges = Trim(h.substr(6));
    const size_t dash = ranges.find('-');
    if (dash == std::string::npos || ranges.find(',') != std::string::npos)
        return RangeKind::None;
    const std::string a = Trim(ranges.substr(0, dash)), b = Trim(ranges.substr(dash + 1));
    int64_t x = 0, y = 0;
    if (a.empty()) {
        // The last y bytes.
        if (!ParseUnsigned(b, &y))
            return RangeKind::None;
        if (y == 0 || size == 0)
            return RangeKind::Unsatisfiable;
        *first = std::max<int64_t>(0, size - y);
        *last = size - 1;
        return RangeKind::Part;
    }
    if (!ParseUnsigned(a, &x))
        return RangeKind::None;
    if (b.empty()) {
        y = size - 1;
    } else if (!ParseUnsigned(b, &y) || y < x) {
        return RangeKind::None;
    }
    if (x >= size)
        return RangeKind::Unsatisfiable;
    *first = x;
    *last = std::min(y, size - 1);
    return RangeKind::Part;
}

int64_t DiskSize(const std::wstring &file)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

std::string PercentEncodePath(const std::string &path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::AddFile(const std::string &path, std::vector<unsigned char> bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_files[path] = Resource{std::make_shared<const std::vector<unsigned char>>(std::move(bytes)), {}};
}

void HttpServer::AddFileOnDisk(const std::string &path, const std::wstring &file)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_files[path] = Resource{nullptr, file};
}

bool HttpServer::Find(const std::string &path, Resource *resource) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_files.find(path);
    if (it == m_files.end())
        return false;
    *resource = it->second;
    return true;
}

std::string HttpServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + PercentEncodePath(path);
}

std::vector<HttpServer::RequestRecord> HttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

bool HttpServer::Start(uint16_t port)
{
    if (m_acceptor.joinable())
        return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    m_bWsa = true;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        Stop();
        return false;
    }
    m_listen = static_cast<uintptr_t>(s);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
        Stop();
        return false;
    }
    m_port = ntohs(addr.sin_port);
    m_stop = false;
    m_acceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void HttpServer::Stop()
{
    m_stop = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    if (m_listen != ~uintptr_t(0)) {
        closesocket(AsSocket(m_listen));
        m_listen = ~uintptr_t(0);
    }
    Reap(true);
    if (m_bWsa) {
        WSACleanup();
        m_bWsa = false;
    }
}

void HttpServer::Reap(bool all)
{
    std::vector<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_live.begin(); it != m_live.end();) {
            if (all || (*it)->done) {
                ended.push_back(std::move(*it));
                it = m_live.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The socket is closed only after its thread is gone, so its number is
    // never reused under a thread still using it.
    for (auto &c : ended) {
        c->thread.join();
        closesocket(AsSocket(c->socket));
    }
}

void HttpServer::AcceptLoop()
{
    const SOCKET listener = AsSocket(m_listen);
    while (!m_stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener, &set);
        timeval wait{0, 100 * 1000};
        const int ready = select(0, &set, nullptr, nullptr, &wait);
        Reap(false);
        if (ready <= 0)
            continue;
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        ++m_connections;
        auto c = std::make_unique<Connection>();
        c->socket = static_cast<uintptr_t>(s);
        Connection *raw = c.get();
        std::lock_guard<std::mutex> guard(m_lock);
        m_live.push_back(std::move(c));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

void HttpServer::Serve(Connection *connection)
{
    const SOCKET s = AsSocket(connection->socket);
    std::string pending;
    char buffer[4096];
    for (;;) {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (pending.size() > kMaxHead || m_stop)
                goto done;
            const int got = Receive(s, buffer, sizeof buffer, m_stop);
            if (got <= 0)
                goto done;
            pending.append(buffer, static_cast<size_t>(got));
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        if (!Answer(connection->socket, head))
            break;
    }
done:
    // The end of a body without a length is the end of the connection.
    shutdown(s, SD_SEND);
    connection->done = true;
}

bool HttpServer::Answer(uintptr_t socket, const std::string &head)
{
    const SOCKET s = AsSocket(socket);
    const unsigned modes = m_answered++ < m_switchAfter ? m_modes.load() : m_modesAfter.load();

    // Request line and headers.
    std::vector<std::string> lines;
    for (size_t at = 0; at <= head.size();) {
        size_t eol = head.find("\r\n", at);
        if (eol == std::string::npos)
            eol = head.size();
        lines.push_back(head.substr(at, eol - at));
        at = eol + 2;
    }
    RequestRecord record;
    std::string target, version;
    {
        const std::string &line = lines.front();
        const size_t a = line.find(' ');
        const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos) {
            static const char kBad[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            SendAll(s, kBad, sizeof kBad - 1, m_stop);
            return false;
        }
        record.method = line.substr(0, a);
        target = line.substr(a + 1, b - a - 1);
        version = line.substr(b + 1);
    }
    bool keepAlive = version == "HTTP/1.1";
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t colon = lines[i].find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(lines[i].substr(0, colon)));
        const std::string value = Trim(lines[i].substr(colon + 1));
        if (name == "range")
            record.range = value;
        else if (name == "user-agent")
            record.userAgent = value;
        else if (name == "connection")
            keepAlive = Lower(value) == "keep-alive" || (keepAlive && Lower(value) != "close");
    }
    // Absolute form (through a proxy) and queries name the same file.
    if (target.compare(0, 7, "http://") == 0) {
        const size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    target = target.substr(0, target.find('?'));
    record.path = PercentDecode(target);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(record);
    }

    const bool headOnly = record.method == "HEAD";
    const bool noLength = (modes & kNoLength) != 0;
    if (noLength)
        keepAlive = false;
    const char *connectionHeader = keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";

    auto simple = [&](const char *status, const char *extra) {
        std::string reply = std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\n" + extra + connectionHeader +
                            "\r\n";
        return SendAll(s, reply.data(), reply.size(), m_stop) && keepAlive;
    };
    if (record.method != "GET" && !headOnly)
        return simple("405 Method Not Allowed", "Allow: GET, HEAD\r\n");
    Resource resource;
    if (!Find(record.path, &resource))
        return simple("404 Not Found", "");
    const int64_t size = resource.bytes ? static_cast<int64_t>(resource.bytes->size()) : DiskSize(resource.file);
    if (size < 0)
        return simple("404 Not Found", "");

    int64_t first = 0, last = size - 1;
    RangeKind kind = RangeKind::None;
    if (!record.range.empty() && !(modes & kIgnoreRange))
        kind = ParseRange(record.range, size, &first, &last);
    if (kind == RangeKind::Part && (modes & kRefuseRanges))
        kind = RangeKind::Unsatisfiable;
    if (kind == RangeKind::Unsatisfiable) {
        const std::string range = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        return simple("416 Range Not Satisfiable", range.c_str());
    }
    if (kind == RangeKind::None) {
        first = 0;
        last = size - 1;
    }
    const int64_t count = last - first + 1;

    std::string reply = kind == RangeKind::Part ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    reply += "Content-Type: application/octet-stream\r\n";
    if (!(modes & kIgnoreRange))
        reply += "Accept-Ranges: bytes\r\n";
    if (kind == RangeKind::Part) {
        int64_t toldFirst = first, toldLast = last;
        if (modes & kRangeStartLies) {
            toldFirst = 0;
            toldLast = last - first;
        }
        if (modes & kRangeLengthLies)
            toldLast = std::min(toldLast + 1000, size - 1);
        reply += "Content-Range: bytes " + std::to_string(toldFirst) + "-" + std::to_string(toldLast) + "/" +
                 (noLength ? std::string("*") : std::to_string(size)) + "\r\n";
    }
    if (!noLength)
        reply += "Content-Length: " + std::to_string(count) + "\r\n";
    reply += connectionHeader;
    reply += "\r\n";
    if (modes & kTrickleHeaders) {
        for (const char c : reply) {
            if (!SendAll(s, &c, 1, m_stop))
                return false;
            for (unsigned waited = 0; waited < m_trickleMs; waited += 50) {
                if (m_stop)
                    return false;
                Sleep(50);
            }
        }
    } else if (!SendAll(s, reply.data(), reply.size(), m_stop)) {
        return false;
    }
    if (headOnly || count <= 0)
        return keepAlive;

    const bool stall = (modes & kStall) != 0;
    const bool cut = (modes & kCutShort) != 0 || stall;
    const int64_t bodyBytes = cut ? count / 2 : count;
    const auto stallUntilStop = [this] {
        while (!m_stop)
            Sleep(50);
        return false;
    };
    if (resource.bytes) {
        if (!SendAll(s, resource.bytes->data() + first, static_cast<size_t>(bodyBytes), m_stop))
            return false;
        if (stall)
            return stallUntilStop();
        return keepAlive && !cut;
    }
    FILE *file = _wfopen(resource.file.c_str(), L"rb");
    if (!file)
        return false;
    std::vector<char> block(kBlock);
    bool ok = _fseeki64(file, first, SEEK_SET) == 0;
    for (int64_t left = bodyBytes; ok && left > 0;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, kBlock));
        const size_t got = fread(block.data(), 1, want, file);
        ok = got == want && SendAll(s, block.data(), got, m_stop);
        left -= static_cast<int64_t>(got);
    }
    fclose(file);
    if (ok && stall)
        return stallUntilStop();
    return ok && keepAlive && !cut;
}

} // namespace loopback
