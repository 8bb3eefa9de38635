// Cost of serving a local file through the data-channel request processing:
// READ requests of a fixed size, answered from a temporary file through
// CFileRpcRequests and the chunking channel writer (1600-byte RDP chunks) to a
// channel that discards what it is given. The clock stands still, so no
// throughput adaptation takes place. A benchmark, not a test.
//   bench_process [MiB] [read KiB...]     defaults: 64 MiB, reads of 64 and 128 KiB
//
// Heap allocations are counted by replacing the global operator new and, in
// builds without AddressSanitizer (which owns malloc there), malloc itself.
#include "channel_io.h"
#include "file_rpc_process.h"
#include "local_file.h"
#include "protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PYX_COUNT_MALLOC 0
#else
#define PYX_COUNT_MALLOC 1
#endif

namespace {

// Single-threaded program: plain counters.
unsigned long long g_nNew = 0;
unsigned long long g_nMalloc = 0;

} // namespace

#if PYX_COUNT_MALLOC
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
    ++g_nMalloc;
    return __libc_malloc(n);
}
void *calloc(size_t k, size_t n)
{
    ++g_nMalloc;
    return __libc_calloc(k, n);
}
void *realloc(void *p, size_t n)
{
    ++g_nMalloc;
    return __libc_realloc(p, n);
}
void free(void *p) { __libc_free(p); }
}
#define PYX_RAW_ALLOC __libc_malloc
#define PYX_RAW_FREE __libc_free
#else
#define PYX_RAW_ALLOC std::malloc
#define PYX_RAW_FREE std::free
#endif

// operator new takes its memory from the C library directly, so that one
// allocation is counted once.
namespace {

void *CountedNew(size_t n)
{
    ++g_nNew;
    return PYX_RAW_ALLOC(n ? n : 1);
}

void *CountedAlignedNew(size_t n, std::align_val_t a)
{
    ++g_nNew;
    const size_t align = static_cast<size_t>(a);
    return aligned_alloc(align, (n + align - 1) / align * align);
}

} // namespace

void *operator new(size_t n)
{
    if (void *p = CountedNew(n))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return CountedNew(n); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return CountedNew(n); }
void *operator new(size_t n, std::align_val_t a)
{
    if (void *p = CountedAlignedNew(n, a))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void *operator new(size_t n, std::align_val_t a, const std::nothrow_t &) noexcept { return CountedAlignedNew(n, a); }
void *operator new[](size_t n, std::align_val_t a, const std::nothrow_t &) noexcept { return CountedAlignedNew(n, a); }
void operator delete(void *p) noexcept { PYX_RAW_FREE(p); }
void operator delete[](void *p) noexcept { PYX_RAW_FREE(p); }
void operator delete(void *p, size_t) noexcept { PYX_RAW_FREE(p); }
void operator delete[](void *p, size_t) noexcept { PYX_RAW_FREE(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { PYX_RAW_FREE(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { PYX_RAW_FREE(p); }
// aligned_alloc memory is always given back with free.
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { std::free(p); }

// Trace text is formatted as in the server but not written: the benchmark
// measures the request processing, not the terminal.
void PlatformTraceOutput(const wchar_t *) {}
bool PlatformTraceListened() { return true; }
int PlatformErrorBox(const wchar_t *, void *) { return 1; }

namespace {

namespace fs = std::filesystem;

// A file object with a channel that takes every platform write at once and
// drops it, and a clock that stands still.
class CBenchFile final : public CFileRpcRequests, public virtual CChannelIO
{
public:
    CBenchFile() : m_buffer(kMessageBufferSize) { m_dwChunkLimit = kRdpChunkLimit; }

    unsigned char *GetMessageBuffer() override { return m_buffer.data(); }
    uint32_t GetMessageLength() override { return m_dwLength; }
    bool ChannelWrite(void *message, uint32_t length, uint32_t *written) override
    {
        ++m_nReplies;
        m_nLastReturn = LoadLE32s(static_cast<unsigned char *>(message) + 32);
        m_nLastReplyBytes = length;
        return CChannelIO::ChannelWrite(message, length, written);
    }
    int64_t CurrentTime() override { return 1000; }

    bool ChannelRead(void *, uint32_t, uint32_t *read) override
    {
        *read = 0;
        return false;
    }
    bool OpenChannel(void *, uint32_t, const char *, uintptr_t) override { return true; }
    int CloseChannel() override { return 0; }
    bool WriteRaw(const void *, uint32_t length, uint32_t *written) override
    {
        ++m_nPlatformWrites;
        *written = length;
        return true;
    }

    // One READ of count bytes from the current position.
    void Read(uint32_t count)
    {
        const std::vector<unsigned char> m = BuildWordsRequest(
            PYXMSG_RPC_READ, {static_cast<uint32_t>(m_dwFileDescriptor), count, 0xFFFFFFFFu}, ++m_dwPsn, 0);
        std::copy(m.begin(), m.end(), m_buffer.begin());
        m_dwLength = static_cast<uint32_t>(m.size());
        ProcessFileRpc();
    }

    std::vector<unsigned char> m_buffer;
    uint32_t m_dwLength = 0;
    uint32_t m_dwPsn = 0;
    unsigned long long m_nReplies = 0;
    unsigned long long m_nPlatformWrites = 0;
    int32_t m_nLastReturn = 0;
    uint32_t m_nLastReplyBytes = 0;
};

// Serves the whole file once in reads of `kib` KiB. Returns false on a fault.
bool Serve(const fs::path &path, uint64_t fileSize, uint32_t kib)
{
    CBenchFile file;
    const std::u16string name = path.u16string();
    file.m_pFile = std::make_unique<CLocalFileInterface>();
    if (!file.m_pFile->Open(reinterpret_cast<const WireChar *>(name.c_str()))) {
        std::fprintf(stderr, "cannot open %s\n", path.string().c_str());
        return false;
    }
    file.m_dwFileDescriptor = static_cast<int32_t>(file.m_pFile->GetHandle());
    file.ResetThroughput();

    const uint32_t count = kib * 1024;
    uint64_t served = 0;
    unsigned long long requests = 0;
    const unsigned long long news = g_nNew;
    const unsigned long long mallocs = g_nMalloc;
    const auto start = std::chrono::steady_clock::now();
    while (served < fileSize) {
        file.Read(count);
        ++requests;
        if (file.m_nExtendedErrorNumber != 0 || file.m_nLastReturn <= 0) {
            std::fprintf(stderr, "READ %llu failed: return %d\n", requests, file.m_nLastReturn);
            return false;
        }
        served += static_cast<uint32_t>(file.m_nLastReturn);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const unsigned long long newCount = g_nNew - news;
    const unsigned long long mallocCount = g_nMalloc - mallocs;

    const double mib = static_cast<double>(served) / (1024.0 * 1024.0);
    std::printf("read %u KiB: %.1f MiB served, %llu requests, %.2f platform writes per reply, "
                "%.2f heap allocations per request (operator new %llu, malloc %s), %.0f MB/s\n",
                kib, mib, requests, static_cast<double>(file.m_nPlatformWrites) / static_cast<double>(file.m_nReplies),
                static_cast<double>(newCount + mallocCount) / static_cast<double>(requests), newCount,
                PYX_COUNT_MALLOC ? std::to_string(mallocCount).c_str() : "not counted under ASan",
                static_cast<double>(served) / 1e6 / seconds);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const uint32_t totalMiB = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 64;
    std::vector<uint32_t> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty())
        sizes = {64, 128};
    if (totalMiB == 0 || totalMiB > 2047) {
        std::fprintf(stderr, "usage: bench_process [MiB 1..2047] [read KiB...]\n");
        return 2;
    }
    for (uint32_t kib : sizes) {
        if (kib == 0 || kib > 4096) {
            std::fprintf(stderr, "read sizes are 1..4096 KiB\n");
            return 2;
        }
    }

    const fs::path path = fs::temp_directory_path() / ("pyx_bench_" + std::to_string(getpid()) + ".bin");
    const uint64_t fileSize = uint64_t(totalMiB) << 20;
    {
        std::FILE *f = std::fopen(path.string().c_str(), "wb");
        if (!f)
            return 1;
        std::vector<unsigned char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<unsigned char>(i * 131 + 17);
        for (uint32_t i = 0; i < totalMiB; ++i)
            std::fwrite(block.data(), 1, block.size(), f);
        std::fclose(f);
    }

    bool ok = true;
    for (uint32_t kib : sizes)
        ok = Serve(path, fileSize, kib) && ok;
    fs::remove(path);
    return ok ? 0 : 1;
}
