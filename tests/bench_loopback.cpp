// Throughput of the loopback channel alone: replies of 64 KiB and 128 KiB
// written through the channel classes (1600-byte RDP chunks, 2044-byte ICA
// chunks) to a reader that joins them, one direction. A benchmark, not a test.
//
//   bench_loopback [MiB]
//   bench_loopback --write CHANNEL MiB SIZE
//
// --write only writes: replies of SIZE bytes to CHANNEL (ZRBCHNL: ICA, any
// other name RDP) of whatever client serves it, such as vcrelay with the
// client's add-in counting them at the far end.
#include "api_sets_win.h"
#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "protocol.h"
#include "vc_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// One channel as the server opens it: the RDP class or the ICA one.
struct BenchChannel
{
    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRdpChannelIO rdp;
    CIcaChannelIO icaChannel;
    CChannelIO *channel = nullptr;

    bool Open(bool ica, const char *name)
    {
        channel = ica ? static_cast<CChannelIO *>(&icaChannel) : static_cast<CChannelIO *>(&rdp);
        return ica ? icaChannel.OpenChannel(nullptr, static_cast<DWORD>(-1), name, 500)
                   : rdp.OpenChannel(nullptr, static_cast<DWORD>(-1), name, reinterpret_cast<uintptr_t>(exitEvent));
    }
    ~BenchChannel()
    {
        if (channel)
            channel->CloseChannel();
        CloseHandle(exitEvent);
    }
};

double Measure(bool ica, uint32_t replySize, uint32_t totalMiB, uint32_t *writesPerReply)
{
    const char *name = ica ? "bench-ica" : "bench-rdp";
    loopback::ChannelServer server(name, 1);
    server.Start();
    BenchChannel bench;
    if (!bench.Open(ica, name))
        return 0;
    CChannelIO &channel = *bench.channel;
    server.WaitConnected(1, 5000);
    const uint32_t replies = totalMiB * 1048576u / replySize;
    std::vector<unsigned char> msg(replySize);
    const uint32_t limit = channel.ChunkLimit();
    const uint32_t slice = limit - kHeaderSize;
    *writesPerReply = (replySize - kHeaderSize + slice - 1) / slice;
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        loopback::ReceivedMessage m;
        for (uint32_t i = 0; i < replies; ++i)
            server.Receive(&m, 10000);
    });
    for (uint32_t i = 0; i < replies; ++i) {
        MessageHeader h{};
        h.dwMessageType = PYXMSG_RPC_READ;
        h.dwMessageDataSize = replySize - kHeaderSize;
        StoreHeader(msg.data(), h);
        uint32_t written = 0;
        channel.WriteMessage(msg.data(), replySize, &written);
    }
    reader.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return replies * double(replySize) / 1048576.0 / seconds;
}

// Writes totalMiB of replies to a channel served by someone else.
int WriteOnly(const char *name, uint32_t totalMiB, uint32_t replySize)
{
    const bool ica = std::string(name) == kIcaChannelName;
    BenchChannel bench;
    if (!bench.Open(ica, name)) {
        std::printf("cannot open %s\n", name);
        return 1;
    }
    CChannelIO &channel = *bench.channel;
    std::vector<unsigned char> msg(replySize);
    MessageHeader h{};
    h.dwMessageType = PYXMSG_RPC_READ;
    h.dwMessageDataSize = replySize - kHeaderSize;
    h.dwChannelNumber = ica ? 0 : static_cast<uint32_t>(-1);
    StoreHeader(msg.data(), h);
    const uint32_t replies = totalMiB * 1048576u / replySize;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < replies; ++i) {
        uint32_t written = 0;
        if (!channel.WriteMessage(msg.data(), replySize, &written)) {
            std::printf("write %u failed\n", i);
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("wrote %u MiB to %s in %.0f ms\n", totalMiB, name, seconds * 1000);
    Sleep(1000);   // the far end reads what is still on its way
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::string(argv[1]) == "--write") {
        BindApiFunctions();
        return WriteOnly(argv[2], static_cast<uint32_t>(atoi(argv[3])), static_cast<uint32_t>(atoi(argv[4])));
    }
    const uint32_t totalMiB = argc > 1 ? static_cast<uint32_t>(atoi(argv[1])) : 64;
    BindApiFunctions();
    std::printf("loopback channel alone, %u MiB per row, one direction\n", totalMiB);
    std::printf("%-6s %-10s %-8s %12s %10s\n", "proto", "reply", "chunk", "writes/reply", "MB/s");
    for (bool ica : {false, true}) {
        for (uint32_t size : {65536u, 131072u}) {
            uint32_t writes = 0;
            const double mbs = Measure(ica, size, totalMiB, &writes);
            std::printf("%-6s %-10u %-8u %12u %10.1f\n", ica ? "ICA" : "RDP", size, ica ? 2044 : 1600, writes, mbs);
        }
    }
    return 0;
}
