// The client side of a loopback channel: keeps pipe instances of one
// channel name listening, reads every message from every connected
// instance, joins chunked messages, and writes messages back.
#pragma once

#include "chunk_join.h"
#include "handle_win.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

struct ReceivedMessage
{
    std::string channel;      // channel name
    int instance = 0;         // pipe instance it came from (connection order)
    uint32_t chunks = 0;      // 0 for a message sent whole
    std::vector<unsigned char> bytes;   // header (data size = whole payload) and payload
    std::chrono::steady_clock::time_point received{};   // when its last byte was read
};

class ChannelServer
{
public:
    // instances: how many clients may connect at once (ICA: one per open).
    ChannelServer(std::string channel, int instances);
    ~ChannelServer();
    ChannelServer(const ChannelServer &) = delete;
    ChannelServer &operator=(const ChannelServer &) = delete;

    bool Start();
    // Closes every instance: the other ends' reads and writes fail. Sends
    // from other threads fail from then on. The object is spent: a client
    // that comes back listens with new ones.
    void Stop();

    // Waits for the next complete message of any instance.
    bool Receive(ReceivedMessage *out, DWORD timeoutMs);
    // Set before Start: every complete message goes to the sink on the
    // thread that read it, instead of to Receive, so that a client routing
    // replies to its own waiters takes no extra thread's wake-up per message.
    using Sink = std::function<void(ReceivedMessage &&)>;
    void SetSink(Sink sink) { m_sink = std::move(sink); }
    // Writes one message (one pipe write) to an instance; -1 = the earliest
    // connected instance still connected and not excluded. Returns false if
    // none is.
    bool Send(const void *data, uint32_t length, int instance = -1);
    // Leaves an instance's connection out of Send's choice until it ends
    // (a connection that only writes to the client, as the player program's).
    void Exclude(int instance);
    // Sends to this instance's connection from now on, until it ends (the
    // connection a reply of the server came from).
    void Prefer(int instance);
    bool HasPreferred() const { return m_preferred.load() >= 0; }
    // Writes to every connected instance not left out; how many took it.
    int SendToEach(const void *data, uint32_t length);
    // Writes raw bytes as they are (malformed messages for robustness tests).
    bool SendRaw(const void *data, uint32_t length, int instance = -1) { return Send(data, length, instance); }

    // While paused, nothing more is read from any instance: a client that
    // stopped reading, whose pipe fills until the server's writes wait.
    void PauseReading(bool paused) { m_paused = paused; }

    int ConnectedCount() const;
    bool WaitConnected(int count, DWORD timeoutMs) const;
    uint32_t ChunkErrors() const;
    const std::string &Channel() const { return m_channel; }

private:
    struct Instance
    {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        std::atomic<bool> connected{false};
        std::atomic<bool> excluded{false};
        uint64_t connectOrder = 0;
        CChunkJoiner reassembler;
        std::thread thread;
        std::mutex writeLock;
    };
    void Serve(int index);
    bool Write(Instance &target, const void *data, uint32_t length);

    std::string m_channel;
    int m_count;
    std::vector<std::unique_ptr<Instance>> m_instances;
    std::atomic<bool> m_stop{false};
    // Set by Stop: every instance's wait for a connection or a message ends
    // on it, so idle instances sleep instead of waking to look at m_stop.
    CHandle m_hStop;
    std::atomic<bool> m_paused{false};
    std::atomic<uint64_t> m_connectCounter{0};
    std::atomic<int> m_preferred{-1};
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::deque<ReceivedMessage> m_queue;
    Sink m_sink;
};

} // namespace loopback
