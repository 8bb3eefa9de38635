#include "relay_links.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vchost {

void CFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool CLink::Send(const void *data, size_t n)
{
    const std::vector<unsigned char> frame = vcframe::MakeFrame(data, n);
    std::lock_guard<std::mutex> hold(m_sendLock);
    size_t at = 0;
    while (at < frame.size()) {
        const ssize_t sent = ::send(m_fd.Get(), frame.data() + at, frame.size() - at, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            Shut();
            return false;
        }
        at += static_cast<size_t>(sent);
    }
    return true;
}

void CLink::Shut() { ::shutdown(m_fd.Get(), SHUT_RDWR); }

bool CRelayListener::Listen(uint16_t port, std::string *error)
{
    m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!m_listen) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(m_listen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listen.Get(), 32) != 0) {
        *error = "port " + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t size = sizeof address;
    ::getsockname(m_listen.Get(), reinterpret_cast<sockaddr *>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
    return true;
}

void CRelayListener::Stop()
{
    m_stop = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    std::vector<std::thread> readers;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto &weak : m_links) {
            if (auto link = weak.lock())
                link->Shut();
        }
        readers.swap(m_readers);
    }
    for (auto &t : readers)
        t.join();
    m_listen.Reset();
}

void CRelayListener::Accept()
{
    while (!m_stop) {
        pollfd p{m_listen.Get(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const int fd = ::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto link = std::make_shared<CLink>(++m_nextId, fd);
        std::lock_guard<std::mutex> hold(m_lock);
        m_links.push_back(link);
        m_readers.emplace_back([this, link] { Read(link); });
    }
}

bool CRelayListener::ReadExact(int fd, void *buffer, size_t n) const
{
    auto *p = static_cast<unsigned char *>(buffer);
    while (n > 0) {
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, 200);
        if (m_stop)
            return false;
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

void CRelayListener::Read(std::shared_ptr<CLink> link)
{
    const int fd = link->m_fd.Get();
    const auto readExact = [&](void *buffer, size_t n) { return ReadExact(fd, buffer, n); };
    std::vector<unsigned char> frame;
    uint32_t length = 0;
    vcframe::ReadResult result = vcframe::ReadFrame(readExact, &frame, &length);
    const std::string name(frame.begin(), frame.end());
    if (result != vcframe::ReadResult::kFrame || !vcframe::IsLinkName(name)) {
        if (!m_stop)
            m_log("link " + std::to_string(link->Id()) + ": no valid name frame (" +
                  (result == vcframe::ReadResult::kClosed ? std::string("closed before one")
                                                          : std::to_string(length) + " bytes") + "); closed");
        link->Shut();
        return;
    }
    link->m_name = name;
    m_sink(LinkEvent{LinkEvent::kOpened, link, {}});
    while ((result = vcframe::ReadFrame(readExact, &frame, &length)) == vcframe::ReadResult::kFrame)
        m_sink(LinkEvent{LinkEvent::kFrame, link, std::move(frame)});
    if (result == vcframe::ReadResult::kTooLong)
        m_log("link " + std::to_string(link->Id()) + " " + name + ": a frame of " + std::to_string(length) +
              " bytes, over the limit; closed");
    link->Shut();
    m_sink(LinkEvent{LinkEvent::kClosed, link, {}});
}

} // namespace vchost
