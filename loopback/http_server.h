// A small HTTP/1.1 server on 127.0.0.1 for tests and the main job: serves
// files from memory or from disk, GET and HEAD, single byte ranges
// ("bytes=N-", "bytes=N-M", "bytes=-K") with 206 and Content-Range,
// keep-alive, and several connections at once (a thread each). Test modes
// make it behave like servers the Internet source must cope with.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

class HttpServer
{
public:
    enum Mode : unsigned
    {
        kNormal = 0,
        // No Content-Length; the connection is closed at the end of the body.
        kNoLength = 1,
        // Range headers are ignored: always 200 with the whole body.
        kIgnoreRange = 2,
        // The connection is closed half-way through each body.
        kCutShort = 4,
        // Half of each body is sent, then nothing more until Stop: a server
        // that stalls, with the connection open.
        kStall = 8,
        // The status line and headers go out one byte per trickle interval
        // (SetTrickleMs, 1000 ms by default): a server that hangs a client's
        // open without ever falling silent long enough for a time-out.
        kTrickleHeaders = 16,
        // A 206's Content-Range says the part begins at byte 0, whatever
        // part is sent (its length and the total told right).
        kRangeStartLies = 32,
        // A 206's Content-Range says the part runs 1000 bytes further than
        // the body sent (within the file).
        kRangeLengthLies = 64,
        // Every range is answered 416 with "bytes */SIZE", even one within
        // the file.
        kRefuseRanges = 128,
    };

    // What a client asked for, in arrival order.
    struct RequestRecord
    {
        std::string method;
        std::string path;   // decoded
        std::string range;  // the Range header, empty when absent
        std::string userAgent;
    };

    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // path: "/name", UTF-8, not percent-encoded.
    void AddFile(const std::string &path, std::vector<unsigned char> bytes);
    void AddFileOnDisk(const std::string &path, const std::wstring &file);
    void SetModes(unsigned modes) { m_modes = modes; }
    // From the request after the first `requests` (of any connection) on,
    // `modes` replace those of SetModes: a server that changes its ways
    // part-way, as a fail-over to another one does.
    void SetModesAfter(unsigned requests, unsigned modes)
    {
        m_modesAfter = modes;
        m_switchAfter = requests;
    }
    void SetTrickleMs(unsigned ms) { m_trickleMs = ms; }

    // Listens on 127.0.0.1:port (0: a free port of the system's choice).
    bool Start(uint16_t port = 0);
    // Closes every connection and waits for every thread; never hangs on a
    // client that stopped reading.
    void Stop();
    uint16_t Port() const { return m_port; }
    // "http://127.0.0.1:PORT/..." with the path percent-encoded.
    std::string Url(const std::string &path) const;

    std::vector<RequestRecord> Requests() const;
    // Connections accepted since Start.
    unsigned Connections() const { return m_connections; }

private:
    struct Resource
    {
        std::shared_ptr<const std::vector<unsigned char>> bytes;
        std::wstring file;
    };
    struct Connection
    {
        uintptr_t socket = 0;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Connection *connection);
    // Answers one request; false when the connection must close.
    bool Answer(uintptr_t socket, const std::string &head);
    bool Find(const std::string &path, Resource *resource) const;
    void Reap(bool all);

    std::atomic<unsigned> m_modes{kNormal};
    std::atomic<unsigned> m_modesAfter{kNormal};
    std::atomic<unsigned> m_switchAfter{~0u};
    std::atomic<unsigned> m_answered{0};
    std::atomic<unsigned> m_trickleMs{1000};
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_connections{0};
    uintptr_t m_listen = ~uintptr_t(0);
    bool m_bWsa = false;
    uint16_t m_port = 0;
    std::thread m_acceptor;
    mutable std::mutex m_lock;   // files, requests, connections
    std::map<std::string, Resource> m_files;
    std::vector<RequestRecord> m_requests;
    std::vector<std::unique_ptr<Connection>> m_live;
};

// Percent-encodes what is not an unreserved character or '/'.
std::string PercentEncodePath(const std::string &path);

} // namespace loopback
