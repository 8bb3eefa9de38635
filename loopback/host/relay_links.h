// The host's end of vcrelay's TCP connections (vc_frame.h): it listens on
// 127.0.0.1, reads each connection's name frame and then its frames on a
// thread of its own, and reports all of it as events to one consumer.
#pragma once

#include "vc_frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vchost {

// A file descriptor, closed by its owner alone.
class CFd
{
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(const CFd &) = delete;
    CFd &operator=(const CFd &) = delete;
    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

// One connection of the relay: a pipe instance of a channel, or the session link.
class CLink
{
public:
    CLink(uint32_t id, int fd) : m_id(id), m_fd(fd) {}
    uint32_t Id() const { return m_id; }
    const std::string &Name() const { return m_name; }
    // One frame, whole or not at all (the connection is shut on failure).
    bool Send(const void *data, size_t n);
    // Both directions end: the relay closes its pipe instance, the reader stops.
    void Shut();

private:
    friend class CRelayListener;
    const uint32_t m_id;
    CFd m_fd;
    std::string m_name;
    std::mutex m_sendLock;
};

struct LinkEvent
{
    enum Kind { kOpened, kFrame, kClosed } kind;
    std::shared_ptr<CLink> link;
    std::vector<unsigned char> bytes;   // kFrame
};

class CRelayListener
{
public:
    using Sink = std::function<void(LinkEvent &&)>;
    using LogFn = std::function<void(const std::string &)>;

    CRelayListener(Sink sink, LogFn log) : m_sink(std::move(sink)), m_log(std::move(log)) {}
    ~CRelayListener() { Stop(); }
    CRelayListener(const CRelayListener &) = delete;
    CRelayListener &operator=(const CRelayListener &) = delete;

    // Port 0: any free one; Port() tells which.
    bool Listen(uint16_t port, std::string *error);
    uint16_t Port() const { return m_port; }
    // Every connection shut, every thread joined; no event after it returns.
    void Stop();

private:
    void Accept();
    void Read(std::shared_ptr<CLink> link);
    bool ReadExact(int fd, void *buffer, size_t n) const;

    Sink m_sink;
    LogFn m_log;
    CFd m_listen;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_nextId{0};
    std::thread m_acceptor;
    std::mutex m_lock;   // m_readers, m_links
    std::vector<std::thread> m_readers;
    std::vector<std::weak_ptr<CLink>> m_links;
};

} // namespace vchost
