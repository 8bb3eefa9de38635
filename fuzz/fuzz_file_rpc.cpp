// libFuzzer target for the data-channel request processing: every input is a
// file object's life, a few throughput settings followed by a sequence of
// received messages, served from a real file. Built by tools/fuzz.sh.
//
// Input: cap (x4 KB), target rate, starting throughput, clock step, then
// records of a 16-bit little-endian length and that many received bytes.
//
// The message buffer is the production one, 131072 bytes, because replies are
// built in it over the request. So that a read past the received bytes cannot
// hide in there, every input is processed twice, with the buffer beyond each
// message filled with two different patterns; the replies and notifications
// of both passes must be the same. ASan and UBSan watch everything else.
#include "file_rpc_process.h"
#include "local_file.h"
#include "notification.h"
#include "notify.h"
#include "protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::u16string g_fileName;

constexpr uint32_t kFileSize = 300000;
// A descriptor word of this value in READ, SEEK or FDOP stands for the
// file's real descriptor, which differs from process to process.
constexpr uint32_t kTheFile = 0x7FFFFFF0;
constexpr uint64_t kLargestReply = 4u << 20;

// FNV-1a over everything a pass shows to the outside.
struct Digest
{
    uint64_t value = 0xCBF29CE484222325ull;
    void Add(const unsigned char *p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            value = (value ^ p[i]) * 0x100000001B3ull;
    }
    void Add32(uint32_t v)
    {
        unsigned char b[4];
        StoreLE32(b, v);
        Add(b, 4);
    }
};

Digest g_digest;

void RecordNote(uint32_t wParam, int32_t lParam)
{
    g_digest.Add32(wParam);
    // Open and close carry the descriptor, which may differ between passes.
    const uint32_t code = wParam & 0xFF;
    if (code != NOTIFY_FILE_OPENED && code != NOTIFY_FILE_CLOSED)
        g_digest.Add32(static_cast<uint32_t>(lParam));
}

// The message buffer, one for every object, as each file object has its own.
std::vector<unsigned char> g_buffer(kMessageBufferSize);
// The buffer beyond this offset holds the pass's fill; what lies below it was
// written by the last message or its reply.
uint32_t g_dwDirty = 0;

class FuzzRequests final : public CFileRpcRequests
{
public:
    std::vector<unsigned char> &buffer = g_buffer;
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
        // fread may leave part of an element beyond the reply it makes.
        if (b == buffer.data())
            g_dwDirty = MessageType(b) == PYXMSG_RPC_FREAD ? kMessageBufferSize : std::max(g_dwDirty, size);
        // The stream id of an FDOP reply is the table's, new in each pass.
        if (MessageType(b) == PYXMSG_RPC_FDOPEN && m_dwFilePointer != 0 && LoadLE32(b + 32) == m_dwFilePointer) {
            g_digest.Add(b, 32);
            g_digest.Add32(1);
            g_digest.Add(b + 36, size - 36);
        } else {
            g_digest.Add(b, size);
        }
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

// One pass over the input; the buffer beyond each message holds `fill`.
uint64_t RunPass(const uint8_t *data, size_t size, unsigned char fill)
{
    g_digest = Digest();
    const auto parameters = std::make_shared<CClientParameters>();
    parameters->dwMaxBlockKB = uint32_t(data[0]) * 4;
    parameters->dwTargetRate = data[1];
    g_dReadScale = 1.0;

    FuzzRequests rpc;
    rpc.SetClientParameters(parameters);
    auto source = std::make_unique<CLocalFileInterface>();
    if (!source->Open(reinterpret_cast<const WireChar *>(g_fileName.c_str())))
        std::abort();
    rpc.m_dwFileDescriptor = static_cast<int32_t>(source->GetHandle());
    rpc.m_pFile = std::move(source);
    rpc.ResetThroughput();
    rpc.m_dwThroughput = data[2];
    rpc.m_nChannelNumber = data[3] % 10;
    const int64_t step = data[3] >> 4;

    std::memset(g_buffer.data(), fill, kMessageBufferSize);
    g_dwDirty = 0;
    size_t at = 4;
    while (at + 2 <= size && rpc.m_nExtendedErrorNumber == 0) {
        const uint32_t declared = uint32_t(data[at]) | (uint32_t(data[at + 1]) << 8);
        at += 2;
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(declared, size - at));
        std::memcpy(rpc.buffer.data(), data + at, n);
        if (g_dwDirty > n)
            std::memset(rpc.buffer.data() + n, fill, g_dwDirty - n);
        g_dwDirty = n;
        at += n;
        rpc.length = n;
        SubstituteDescriptor(rpc.buffer.data(), n, rpc.m_dwFileDescriptor);
        rpc.failNext = (declared & 0x8000) && (data[3] & 1);
        rpc.now += step;
        rpc.ProcessFileRpc();
        g_digest.Add32(static_cast<uint32_t>(rpc.m_nExtendedErrorNumber));
    }
    return g_digest.value;
}

} // namespace

// Trace text is formatted as in the server but goes nowhere, so that
// libFuzzer's own report stays readable (and fast).
void PlatformTraceOutput(const wchar_t *) {}
bool PlatformTraceListened() { return true; }
int PlatformErrorBox(const wchar_t *, void *) { return 1; }

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
    SetNotificationSink(RecordNote);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint64_t first = RunPass(data, size, 0x00);
    const uint64_t second = RunPass(data, size, 0xA5);
    if (first != second) {
        std::fprintf(stdout, "replies depend on bytes past the received message\n");
        std::fflush(stdout);
        std::abort();
    }
    return 0;
}
