#include "vc_server.h"

#include "pipe_io.h"
#include "protocol.h"

#include <algorithm>
#include <chrono>

namespace loopback {

ChannelServer::ChannelServer(std::string channel, int instances) : m_channel(std::move(channel)), m_count(instances) {}

ChannelServer::~ChannelServer() { Stop(); }

bool ChannelServer::Start()
{
    const std::wstring name = PipeName(m_channel.c_str());
    m_hStop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hStop)
        return false;
    for (int i = 0; i < m_count; ++i) {
        auto inst = std::make_unique<Instance>();
        inst->pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, m_count, 1 << 20,
                                      1 << 20, 0, nullptr);
        if (inst->pipe == INVALID_HANDLE_VALUE)
            return false;
        m_instances.push_back(std::move(inst));
    }
    for (int i = 0; i < m_count; ++i)
        m_instances[i]->thread = std::thread([this, i] { Serve(i); });
    return true;
}

// Closes every instance; the instances themselves stay until the object
// goes, so that a Send racing with Stop finds them closed, not freed.
void ChannelServer::Stop()
{
    m_stop = true;
    if (m_hStop)
        SetEvent(m_hStop.Get());
    // Writes of other threads (a Send into a full pipe) end too.
    for (auto &inst : m_instances) {
        if (inst->pipe != INVALID_HANDLE_VALUE)
            CancelIoEx(inst->pipe, nullptr);
    }
    for (auto &inst : m_instances) {
        if (inst->thread.joinable())
            inst->thread.join();
        std::lock_guard<std::mutex> hold(inst->writeLock);
        inst->connected = false;
        if (inst->pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(inst->pipe);
            inst->pipe = INVALID_HANDLE_VALUE;
        }
    }
    m_changed.notify_all();
}

void ChannelServer::Serve(int index)
{
    Instance &inst = *m_instances[index];
    std::vector<unsigned char> buffer(1 << 20);
    while (!m_stop) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = ConnectNamedPipe(inst.pipe, &ov);
        DWORD error = ok ? 0 : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            const HANDLE waits[2] = {ov.hEvent, m_hStop.Get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(inst.pipe, &ov);
                DWORD n;
                GetOverlappedResult(inst.pipe, &ov, &n, TRUE);
                CloseHandle(ov.hEvent);
                return;
            }
            DWORD n;
            ok = GetOverlappedResult(inst.pipe, &ov, &n, FALSE);
            error = ok ? 0 : GetLastError();
        }
        CloseHandle(ov.hEvent);
        if (!ok && error != ERROR_PIPE_CONNECTED) {
            Sleep(20);
            continue;
        }
        inst.connectOrder = ++m_connectCounter;
        inst.excluded = false;
        inst.connected = true;
        m_changed.notify_all();

        for (;;) {
            while (m_paused && !m_stop)
                Sleep(20);
            DWORD n = 0;
            if (!PipeIo(inst.pipe, false, buffer.data(), static_cast<DWORD>(buffer.size()), &n, INFINITE,
                        m_hStop.Get()))
                break;
            if (n == 0)
                continue;
            ReceivedMessage m;
            if (!inst.reassembler.Add(buffer.data(), n, &m.bytes, &m.chunks))
                continue;
            m.channel = m_channel;
            m.instance = index;
            m.received = std::chrono::steady_clock::now();
            if (m_sink) {
                m_sink(std::move(m));
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_queue.push_back(std::move(m));
            }
            m_changed.notify_all();
        }
        inst.connected = false;
        int preferred = index;
        m_preferred.compare_exchange_strong(preferred, -1);
        m_changed.notify_all();
        DisconnectNamedPipe(inst.pipe);
    }
}

bool ChannelServer::Receive(ReceivedMessage *out, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (!m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return !m_queue.empty(); }))
        return false;
    *out = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

bool ChannelServer::Send(const void *data, uint32_t length, int instance)
{
    if (instance >= 0 && instance < static_cast<int>(m_instances.size()))
        return Write(*m_instances[instance], data, length);
    if (const int preferred = m_preferred.load(); preferred >= 0)
        return Write(*m_instances[static_cast<size_t>(preferred)], data, length);
    // The earliest connection first; one that broke a moment ago (its end
    // not noticed yet) gives way to the next.
    std::vector<Instance *> order;
    for (auto &inst : m_instances) {
        if (inst->connected && !inst->excluded)
            order.push_back(inst.get());
    }
    std::sort(order.begin(), order.end(), [](const Instance *a, const Instance *b) { return a->connectOrder < b->connectOrder; });
    for (Instance *target : order) {
        if (Write(*target, data, length))
            return true;
    }
    return false;
}

bool ChannelServer::Write(Instance &target, const void *data, uint32_t length)
{
    std::lock_guard<std::mutex> hold(target.writeLock);
    if (m_stop || !target.connected)
        return false;
    DWORD n = 0;
    return PipeIo(target.pipe, true, const_cast<void *>(data), length, &n, 5000) && n == length;
}

int ChannelServer::SendToEach(const void *data, uint32_t length)
{
    int sent = 0;
    for (auto &inst : m_instances) {
        if (inst->connected && !inst->excluded)
            sent += Write(*inst, data, length) ? 1 : 0;
    }
    return sent;
}

void ChannelServer::Prefer(int instance)
{
    if (instance >= 0 && instance < static_cast<int>(m_instances.size()))
        m_preferred = instance;
}

void ChannelServer::Exclude(int instance)
{
    if (instance >= 0 && instance < static_cast<int>(m_instances.size()))
        m_instances[instance]->excluded = true;
}

int ChannelServer::ConnectedCount() const
{
    int count = 0;
    for (const auto &inst : m_instances)
        count += inst->connected ? 1 : 0;
    return count;
}

bool ChannelServer::WaitConnected(int count, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return ConnectedCount() >= count; });
}

uint32_t ChannelServer::ChunkErrors() const
{
    uint32_t errors = 0;
    for (const auto &inst : m_instances)
        errors += inst->reassembler.Errors();
    return errors;
}

} // namespace loopback
