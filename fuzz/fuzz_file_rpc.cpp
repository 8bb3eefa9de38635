// libFuzzer target for the data-channel request processing: every input is a
// file object's life, a few throughput settings followed by a sequence of
// received messages, served from a real file. Built by tools/fuzz.sh.
//
// Input: cap (x4 KB), target rate, starting throughput, clock step, then
// records of a 16-bit little-endian length and that many received bytes.
#include "file_rpc_process.h"
#include "local_file.h"
#include "notification.h"
#include "protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::u16string g_fileName;

volatile unsigned char g_bSink;

constexpr uint32_t kFileSize = 300000;
// A descriptor word of this value in READ, SEEK or FDOP stands for the
// file's real descriptor, which differs from process to process.
constexpr uint32_t kTheFile = 0x7FFFFFF0;
constexpr uint64_t kLargestReply = 4u << 20;

class FuzzRequests final : public CFileRpcRequests
{
public:
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kMessageBufferSize);
    uint32_t length = 0;
    int64_t now = 1000;
    bool failNext = false;

    unsigned char *GetMessageBuffer() override { return buffer.data(); }
    uint32_t GetMessageLength() override { return length; }
    bool ChannelWrite(void *message, uint32_t size, uint32_t *written) override
    {
        const auto *b = static_cast<const unsigned char *>(message);
        // Every reply is a whole message: header, then what it declares.
        if (size < 36 || size != kHeaderSize + MessageDataSize(b))
            std::abort();
        if (b == buffer.data() && size > kMessageBufferSize)
            std::abort();
        // Touch the whole reply, so that a bad length shows.
        unsigned char sum = 0;
        for (uint32_t i = 0; i < size; i += 4096)
            sum ^= b[i];
        g_bSink = static_cast<unsigned char>(g_bSink ^ sum ^ b[size - 1]);
        *written = failNext ? 0 : size;
        return !failNext;
    }
    int LastOsError() override { return 5; }
    // Beyond 4 MB the allocation fails, as it may in a 32-bit process.
    std::unique_ptr<unsigned char[]> AllocateReplyBuffer(uint64_t size) override
    {
        return size > kLargestReply ? nullptr : CFileRpcRequests::AllocateReplyBuffer(size);
    }
    int64_t CurrentTime() override { return now; }
};

// The fuzzed file's descriptor stands in for its placeholder.
void SubstituteDescriptor(unsigned char *msg, uint32_t n, int32_t fd)
{
    if (n < 36)
        return;
    const uint32_t type = MessageType(msg);
    if ((type == PYXMSG_RPC_READ || type == PYXMSG_RPC_SEEK || type == PYXMSG_RPC_FDOPEN) && LoadLE32(msg + 32) == kTheFile)
        StoreLE32s(msg + 32, fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string path = "/tmp/pyx_fuzz_" + std::to_string(getpid()) + ".bin";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    for (uint32_t i = 0; i < kFileSize; ++i)
        std::fputc(static_cast<int>(i * 131 + 17) & 0xFF, f);
    std::fclose(f);
    g_fileName.assign(path.begin(), path.end());
    std::atexit([] {
        const std::string p(g_fileName.begin(), g_fileName.end());
        std::remove(p.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    g_dwMaxBlockKB = uint32_t(data[0]) * 4;
    g_dwTargetRate = data[1];
    g_dReadScale = 1.0;

    FuzzRequests rpc;
    auto source = std::make_unique<CLocalFileInterface>();
    if (!source->Open(reinterpret_cast<const WireChar *>(g_fileName.c_str())))
        std::abort();
    rpc.m_dwFileDescriptor = static_cast<int32_t>(source->GetHandle());
    rpc.m_pFile = std::move(source);
    rpc.ResetThroughput();
    rpc.m_dwThroughput = data[2];
    rpc.m_nChannelNumber = data[3] % 10;
    const int64_t step = data[3] >> 4;

    size_t at = 4;
    while (at + 2 <= size && rpc.m_nExtendedErrorNumber == 0) {
        const uint32_t declared = uint32_t(data[at]) | (uint32_t(data[at + 1]) << 8);
        at += 2;
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(declared, size - at));
        std::memcpy(rpc.buffer.data(), data + at, n);
        at += n;
        rpc.length = n;
        SubstituteDescriptor(rpc.buffer.data(), n, rpc.m_dwFileDescriptor);
        rpc.failNext = (declared & 0x8000) && (data[3] & 1);
        rpc.now += step;
        rpc.ProcessFileRpc();
    }
    return 0;
}
