// Whole sessions through the control thread against the loopback channel
// alone, side by side in one run: the client emulator opens one file or ten
// at once and reads each to its end with every byte checked; "channel alone"
// answers the same number of READs of the same size with prepared replies
// on the same channels, without a server. Also the time from sending OPEN
// to the first data byte. A benchmark, not a test: it prints figures.
//
//   bench_session [MiB per file] [--no-notify]      (default 32)
//
// --no-notify: the same without the desktop broadcast, to show its cost.
// BENCH_ROWS="RDP:1:128 ICA:10:64" (environment): only the rows named so
// (layout, files, KiB per READ), for quick comparisons of one case.
#include "api_sets_win.h"
#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "client_device.h"
#include "control_host.h"
#include "notification.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "win_test_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct SessionRow
{
    double mbps = 0;
    double firstByteAvgMs = 0;
    double firstByteMaxMs = 0;
    bool ok = false;
};

SessionRow ThroughSession(bool ica, const std::wstring &path, int files, uint32_t count)
{
    SessionRow row;
    loopback::ClientDevice device(ica);
    std::string error;
    if (!device.Start(&error))
        return row;
    CControlHost host;
    if (!host.Start())
        return row;
    loopback::DeviceOptions options;
    options.files.push_back({path, {}});
    options.parallel = files;
    options.requestSize = count;
    options.chunking = 0;
    options.seed = 0;
    options.timeoutMs = 30000;
    const loopback::DeviceSummary summary = device.Session(options);
    host.Stop();
    device.Stop();
    row.ok = summary.ok;
    row.mbps = summary.mbps;
    for (const auto &r : summary.reports) {
        row.firstByteAvgMs += r.firstByteMs / summary.reports.size();
        row.firstByteMaxMs = std::max(row.firstByteMaxMs, r.firstByteMs);
    }
    return row;
}

// The same traffic without a server: each of `files` client threads sends
// READs of `count` and waits for a prepared reply, until `bytes` came back.
// RDP: a channel and an echo thread per file. ICA: one channel for all, one
// echo thread, replies told apart by channel number, as with the server.
double ChannelAlone(bool ica, int files, uint32_t count, uint64_t bytes)
{
    std::vector<std::unique_ptr<loopback::ChannelServer>> clients;
    std::vector<std::unique_ptr<CChannelIO>> channels;
    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int channelCount = ica ? 1 : files;
    for (int n = 0; n < channelCount; ++n) {
        char name[8];
        if (ica)
            std::snprintf(name, sizeof name, "%s", kIcaChannelName);
        else
            RdpDataChannelName(n, name, sizeof name);
        clients.push_back(std::make_unique<loopback::ChannelServer>(name, 1));
        if (!clients.back()->Start())
            return 0;
        std::unique_ptr<CChannelIO> channel;
        bool opened;
        if (ica) {
            auto c = std::make_unique<CIcaChannelIO>();
            opened = c->OpenChannel(nullptr, static_cast<uint32_t>(-1), name, 100);
            channel = std::move(c);
        } else {
            auto c = std::make_unique<CRdpChannelIO>();
            opened = c->OpenChannel(nullptr, static_cast<uint32_t>(-1), name, reinterpret_cast<uintptr_t>(exitEvent));
            channel = std::move(c);
        }
        if (!opened)
            return 0;
        channel->SetChunking(ica ? 1 : 0);   // as the session has it
        channels.push_back(std::move(channel));
        clients.back()->WaitConnected(1, 5000);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> echoes;
    for (auto &channel : channels) {
        CChannelIO *io = channel.get();
        echoes.emplace_back([io, count, &stop] {
            std::vector<unsigned char> buffer(kMessageBufferSize + 64);
            std::vector<unsigned char> reply(36 + count);
            while (!stop) {
                uint32_t n = 0;
                if (!io->ChannelRead(buffer.data(), kMessageBufferSize, &n))
                    return;
                if (n < 32)
                    continue;
                BuildDataReply(reply.data(), static_cast<int32_t>(count), count, MessageChannel(buffer.data()));
                std::copy(buffer.begin() + 8, buffer.begin() + 12, reply.begin() + 8);   // the PSN
                uint32_t written = 0;
                io->ChannelWrite(reply.data(), static_cast<uint32_t>(reply.size()), &written);
            }
        });
    }
    // ICA: replies for every file arrive on one client channel; a reader
    // thread hands each to its file's waiter.
    const auto start = Clock::now();
    std::vector<std::thread> drivers;
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<int> pending(static_cast<size_t>(files), 0);
    std::thread router;
    if (ica) {
        router = std::thread([&] {
            loopback::ReceivedMessage m;
            uint64_t total = 0;
            while (total < bytes * files && !failed) {
                if (!clients[0]->Receive(&m, 10000)) {
                    failed = true;
                    break;
                }
                const int32_t ch = MessageChannel(m.bytes.data());
                total += m.bytes.size() - 36;
                std::lock_guard<std::mutex> hold(lock);
                if (ch >= 0 && ch < files)
                    ++pending[static_cast<size_t>(ch)];
                arrived.notify_all();
            }
            arrived.notify_all();
        });
    }
    for (int f = 0; f < files; ++f) {
        drivers.emplace_back([&, f] {
            loopback::ChannelServer &client = *clients[ica ? 0 : static_cast<size_t>(f)];
            uint64_t got = 0;
            for (uint32_t psn = 1; got < bytes && !failed; ++psn) {
                auto request = BuildWordsRequest(PYXMSG_RPC_READ, {0, count, 0xFFFFFFFFu}, 0, ica ? f : 0);
                StoreLE32(request.data() + hdr::kPSN, psn);
                if (!client.Send(request.data(), static_cast<uint32_t>(request.size()))) {
                    failed = true;
                    return;
                }
                if (ica) {
                    std::unique_lock<std::mutex> hold(lock);
                    arrived.wait(hold, [&] { return pending[static_cast<size_t>(f)] > 0 || failed; });
                    --pending[static_cast<size_t>(f)];
                } else {
                    loopback::ReceivedMessage reply;
                    if (!client.Receive(&reply, 10000)) {
                        failed = true;
                        return;
                    }
                }
                got += count;
            }
        });
    }
    for (auto &t : drivers)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (router.joinable())
        router.join();
    stop = true;
    SetEvent(exitEvent);
    for (auto &c : clients)
        c->Stop();
    for (auto &t : echoes)
        t.join();
    for (auto &c : channels)
        c->CloseChannel();
    CloseHandle(exitEvent);
    return failed ? 0 : double(bytes) * files / 1e6 / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    const uint32_t mib = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 32;
    const uint32_t size = mib << 20;
    BindApiFunctions();
    InitServerGlobals();
    wintest::TempFile file(size, L"pyx_bench_session");
    const bool quiet = argc > 2 && std::string(argv[2]) == "--no-notify";
    if (quiet)
        SetNotificationSink([](uint32_t, int32_t) {});

    std::printf("whole sessions through the control thread vs the loopback channel alone, %u MiB per file, chunking "
                "off (ICA: on, it cannot be turned off), one READ at a time per file, every byte checked%s\n",
                mib, quiet ? ", no desktop broadcast" : "");
    std::printf("%-5s %-6s %-8s %12s %13s %7s %15s %15s\n", "proto", "files", "read", "session MB/s",
                "channel MB/s", "ratio", "first byte avg", "first byte max");
    for (const bool ica : {false, true}) {
        if (ica)
            wintest::EnsureService(L"HalvernService");
        else
            UseRdpSessionOps();
        for (const int files : {1, 10}) {
            for (const uint32_t count : {65536u, 131072u}) {
                if (const char *only = std::getenv("BENCH_ROWS")) {
                    char row[32];
                    std::snprintf(row, sizeof row, "%s:%d:%u", ica ? "ICA" : "RDP", files, count >> 10);
                    if (!std::strstr(only, row))
                        continue;
                }
                const SessionRow s = ThroughSession(ica, file.Path(), files, count);
                const double alone = ChannelAlone(ica, files, count, size);
                std::printf("%-5s %-6d %-8s %12.1f %13.1f %6.0f%% %12.1f ms %12.1f ms%s\n", ica ? "ICA" : "RDP", files,
                            count == 65536 ? "64 KiB" : "128 KiB", s.mbps, alone, alone > 0 ? 100.0 * s.mbps / alone : 0.0,
                            s.firstByteAvgMs, s.firstByteMaxMs, s.ok && alone > 0 ? "" : "  (FAILED)");
                std::fflush(stdout);
            }
        }
        if (ica)
            wintest::RemoveService(L"HalvernService");
        else
            UsePlatformSessionOps();
    }
    return 0;
}
