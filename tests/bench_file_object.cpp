// Throughput of one RDP file object over the loopback platform against the
// loopback channel alone, side by side in one run. The client sends a READ
// and waits for its reply, as a player does. "Channel alone" answers the same
// requests with a prepared reply of the same size, without a file. A
// benchmark, not a test: it prints figures.
//
//   bench_file_object [MiB]      (default 256)
//   bench_file_object MiB --url [segment KiB...]
//       the Internet source on the loopback HTTP server: the URL read in
//       segments in a shuffled order against the same URL read straight
#include "api_sets_win.h"
#include "channel_rdp_win.h"
#include "file_rpc_win.h"
#include "http_server.h"
#include "internet_file_win.h"
#include "notification.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "vc_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Heap allocations made on one thread (the file object's worker).
std::atomic<DWORD> g_dwCountedThread{0};
std::atomic<uint64_t> g_nAllocations{0};

} // namespace

// Replacing the global operators: the compiler cannot see that they pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t size)
{
    if (g_dwCountedThread.load(std::memory_order_relaxed) == GetCurrentThreadId())
        g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](size_t size, const std::nothrow_t &t) noexcept { return operator new(size, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }

namespace {

struct Row
{
    double mbps = 0;
    uint32_t writesPerReply = 0;
    double allocationsPerRequest = 0;
    bool ok = false;
};

std::vector<unsigned char> ReadRequest(int32_t fd, uint32_t count, uint32_t psn)
{
    return BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(fd), count, 0xFFFFFFFFu}, psn, 0);
}

// The client's loop: one READ at a time until `total` bytes came back.
bool Drive(loopback::ChannelServer &client, int32_t fd, uint32_t count, uint64_t total, uint32_t *chunks)
{
    uint64_t got = 0;
    for (uint32_t psn = 1; got < total; ++psn) {
        auto request = ReadRequest(fd, count, psn);
        if (!client.Send(request.data(), static_cast<uint32_t>(request.size())))
            return false;
        loopback::ReceivedMessage reply;
        if (!client.Receive(&reply, 10000) || reply.bytes.size() < 36)
            return false;
        const int32_t n = LoadLE32s(reply.bytes.data() + 32);
        if (n <= 0)
            return false;
        got += static_cast<uint32_t>(n);
        *chunks = reply.chunks ? reply.chunks : 1;
    }
    return true;
}

const auto g_parameters = std::make_shared<CClientParameters>();   // the chunking as a row sets it

Row ThroughFileObject(const std::wstring &path, uint64_t size, uint32_t count)
{
    Row row;
    loopback::ChannelServer client("pyx00", 1);
    if (!client.Start())
        return row;
    CFileRpc::OpenOutcome outcome;
    CFileRpc *file = CreateInstance(SessionKind::Rdp, g_parameters, nullptr);
    if (!file->FileRpcInit(path.c_str(), &outcome)) {
        file->DeallocateAndSetError(0, true);
        return row;
    }
    client.WaitConnected(1, 5000);
    g_nAllocations = 0;
    while (!file->WorkerThreadId())   // its parked thread may not have taken it yet
        Sleep(1);
    g_dwCountedThread = file->WorkerThreadId();
    const auto start = std::chrono::steady_clock::now();
    row.ok = Drive(client, outcome.fileDescriptor, count, size, &row.writesPerReply);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    g_dwCountedThread = 0;
    const double requests = double(size) / count;
    row.allocationsPerRequest = double(g_nAllocations.load()) / requests;
    row.mbps = double(size) / 1e6 / seconds;
    if (CFileObject *claimed = ClaimClassBySlot(outcome.channelNumber)) {
        claimed->CloseFile();
        claimed->DeallocateAndSetError(0, true);
    }
    return row;
}

Row ChannelAlone(uint64_t size, uint32_t count)
{
    Row row;
    loopback::ChannelServer client("pyx01", 1);
    if (!client.Start())
        return row;
    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRdpChannelIO channel;
    if (!channel.OpenChannel(nullptr, static_cast<uint32_t>(-1), "pyx01", reinterpret_cast<uintptr_t>(exitEvent)))
        return row;
    channel.SetChunking(g_parameters->dwChunking);
    client.WaitConnected(1, 5000);
    std::thread echo([&] {
        std::vector<unsigned char> buffer(kMessageBufferSize + 64);
        std::vector<unsigned char> reply(36 + count);
        for (;;) {
            uint32_t n = 0;
            if (!channel.ChannelRead(buffer.data(), kMessageBufferSize, &n))
                return;
            if (n < 32)
                continue;
            BuildDataReply(reply.data(), static_cast<int32_t>(count), count, 0);
            std::copy(buffer.begin() + 8, buffer.begin() + 12, reply.begin() + 8);   // the PSN
            uint32_t written = 0;
            channel.ChannelWrite(reply.data(), static_cast<uint32_t>(reply.size()), &written);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    row.ok = Drive(client, 0, count, size, &row.writesPerReply);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.mbps = double(size) / 1e6 / seconds;
    SetEvent(exitEvent);
    echo.join();
    channel.CloseChannel();
    CloseHandle(exitEvent);
    return row;
}

std::wstring MakeFile(uint64_t size)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"pyx_bench_" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<unsigned char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 7 + 3);
    for (uint64_t done = 0; done < size; done += block.size()) {
        DWORD written = 0;
        WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    }
    CloseHandle(h);
    return path;
}

struct UrlRow
{
    double mbps = 0;
    size_t requests = 0;
    double slowestSeekMs = 0;
    double closeMs = 0;
    bool ok = false;
};

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Reads the URL through one source in 64 KiB reads, every byte checked.
// segment 0: straight from the start. Otherwise the file's segments in a
// shuffled order, each reached by a seek from the start, the current
// position or the end in turn, so that every byte is read once.
UrlRow ReadUrl(const loopback::HttpServer &server, const std::string &url, const std::vector<unsigned char> &bytes,
               uint32_t segment)
{
    constexpr uint32_t kRead = 64 * 1024;
    UrlRow row;
    const size_t requestsBefore = server.Requests().size();
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    const uint32_t step = segment ? segment : size;
    std::vector<uint32_t> starts;
    for (uint32_t at = 0; at < size; at += step)
        starts.push_back(at);
    std::mt19937 random(20240601);
    std::shuffle(starts.begin(), starts.end(), random);

    const std::u16string name(url.begin(), url.end());
    std::vector<unsigned char> buffer(kRead);
    const auto start = std::chrono::steady_clock::now();
    CInternetFileInterface file;
    bool ok = file.Open(name.c_str());
    for (size_t i = 0; ok && i < starts.size(); ++i) {
        const uint32_t first = starts[i];
        if (segment) {
            const int origin = static_cast<int>(i % 3);
            const long here = file.Seek(0, SEEK_CUR);
            const long offset = origin == SEEK_SET   ? static_cast<long>(first)
                                : origin == SEEK_CUR ? static_cast<long>(first) - here
                                                     : static_cast<long>(first) - static_cast<long>(size);
            const auto seekStart = std::chrono::steady_clock::now();
            ok = file.Seek(offset, origin) == static_cast<long>(first);
            row.slowestSeekMs = std::max(row.slowestSeekMs, MsSince(seekStart));
        }
        const uint32_t end = std::min(size, first + step);
        for (uint32_t at = first; ok && at < end;) {
            const int got = file.Read(buffer.data(), std::min(kRead, end - at));
            ok = got > 0 && std::memcmp(buffer.data(), bytes.data() + at, static_cast<size_t>(got)) == 0;
            at += got > 0 ? static_cast<uint32_t>(got) : 0;
        }
    }
    const auto closeStart = std::chrono::steady_clock::now();
    file.Close();
    row.closeMs = MsSince(closeStart);
    row.mbps = double(size) / 1e6 / (MsSince(start) / 1000);
    row.requests = server.Requests().size() - requestsBefore;
    row.ok = ok;
    return row;
}

int BenchUrl(uint64_t mib, std::vector<uint32_t> segmentsKiB)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(mib << 20));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + (i >> 12)) & 0xFF);   // differs from block to block
    loopback::HttpServer server;
    server.AddFile("/bench.bin", bytes);
    if (!server.Start()) {
        std::printf("the loopback HTTP server did not start\n");
        return 1;
    }
    const std::string url = server.Url("/bench.bin");
    if (segmentsKiB.empty())
        segmentsKiB = {200, 1000, 6000};
    std::printf("one URL source on the loopback HTTP server, %llu MiB, 64 KiB reads, every byte once and checked\n",
                static_cast<unsigned long long>(mib));
    std::printf("%-10s %14s %14s %7s %9s %13s %10s\n", "segment", "seeking MB/s", "straight MB/s", "ratio",
                "requests", "max seek ms", "close ms");
    for (const uint32_t kib : segmentsKiB) {
        // Straight right before, so that both see the machine alike.
        const UrlRow straight = ReadUrl(server, url, bytes, 0);
        const UrlRow seeking = ReadUrl(server, url, bytes, kib * 1024);
        std::printf("%-10s %14.1f %14.1f %6.0f%% %9zu %13.1f %10.1f%s\n", (std::to_string(kib) + " KiB").c_str(),
                    seeking.mbps, straight.mbps, straight.mbps > 0 ? 100.0 * seeking.mbps / straight.mbps : 0.0,
                    seeking.requests, seeking.slowestSeekMs, seeking.closeMs,
                    seeking.ok && straight.ok ? "" : "  (FAILED)");
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t mib = argc > 1 ? static_cast<uint64_t>(std::atoll(argv[1])) : 256;
    const uint64_t size = mib << 20;
    if (argc > 2 && std::string(argv[2]) == "--url") {
        std::vector<uint32_t> segments;
        for (int i = 3; i < argc; ++i)
            segments.push_back(static_cast<uint32_t>(std::atoi(argv[i])));
        return BenchUrl(mib, segments);
    }
    BindApiFunctions();
    InitServerGlobals();
    const std::wstring path = MakeFile(size);
    // --notify-cost [rounds]: the file object with the desktop broadcast and
    // without it, alternately, 64 KiB reads without chunking (the fastest
    // case, where the broadcast weighs most); the median cost.
    if (argc > 2 && std::string(argv[2]) == "--notify-cost") {
        const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
        g_parameters->dwChunking = 0;
        std::printf("desktop broadcast cost: one RDP file object, %llu MiB, 64 KiB reads, chunking off, %d rounds\n",
                    static_cast<unsigned long long>(mib), rounds);
        std::printf("%-6s %16s %16s %8s\n", "round", "notify MB/s", "no-notify MB/s", "cost");
        std::vector<double> costs;
        const auto run = [&](bool notify) {
            SetNotificationSink(notify ? nullptr : static_cast<NotificationSink>([](uint32_t, int32_t) {}));
            const Row row = ThroughFileObject(path, size, 65536);
            FlushServerNotifications(10000);
            return row;
        };
        for (int r = 1; r <= rounds; ++r) {
            // Which goes first alternates, so that neither gains from the order.
            Row with, without;
            if (r % 2) {
                with = run(true);
                without = run(false);
            } else {
                without = run(false);
                with = run(true);
            }
            const double cost = with.mbps > 0 ? without.mbps / with.mbps - 1.0 : 0.0;
            costs.push_back(cost);
            std::printf("%-6d %16.1f %16.1f %7.1f%%%s\n", r, with.mbps, without.mbps, 100.0 * cost,
                        with.ok && without.ok ? "" : "  (FAILED)");
            std::fflush(stdout);
        }
        std::sort(costs.begin(), costs.end());
        std::printf("median cost of the broadcast: %.1f%%\n", 100.0 * costs[costs.size() / 2]);
        DeleteFileW(path.c_str());
        return 0;
    }
    // --no-notify: the same without the desktop broadcast, to show its cost.
    if (argc > 2 && std::string(argv[2]) == "--no-notify")
        SetNotificationSink([](uint32_t, int32_t) {});

    std::printf("one RDP file object vs the loopback channel alone, %llu MiB per row, one READ at a time\n",
                static_cast<unsigned long long>(mib));
    std::printf("%-9s %-9s %14s %14s %7s %13s %13s\n", "chunking", "read", "server MB/s", "channel MB/s",
                "ratio", "writes/reply", "allocs/req");
    for (uint32_t chunking : {1u, 0u}) {
        g_parameters->dwChunking = chunking;
        for (uint32_t count : {65536u, 131072u}) {
            const Row server = ThroughFileObject(path, size, count);
            const Row alone = ChannelAlone(size, count);
            std::printf("%-9s %-9s %14.1f %14.1f %6.0f%% %13u %13.2f%s\n", chunking ? "on" : "off",
                        count == 65536 ? "64 KiB" : "128 KiB", server.mbps, alone.mbps,
                        alone.mbps > 0 ? 100.0 * server.mbps / alone.mbps : 0.0, server.writesPerReply,
                        server.allocationsPerRequest, server.ok && alone.ok ? "" : "  (FAILED)");
            std::fflush(stdout);
        }
    }
    DeleteFileW(path.c_str());
    return 0;
}
