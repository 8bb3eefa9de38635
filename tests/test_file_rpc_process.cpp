#include "doctest.h"

#include "checksum.h"
#include "file_rpc_process.h"
#include "local_file.h"
#include "local_name.h"
#include "notification.h"
#include "notify.h"
#include "open_errno.h"
#include "protocol.h"
#include "stream_table.h"
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

std::vector<std::pair<uint32_t, int32_t>> g_notes;
void RecordNote(uint32_t wParam, int32_t lParam) { g_notes.emplace_back(wParam, lParam); }

std::wstring g_trace;
void RecordTrace(const wchar_t *text) { g_trace += text; }

// A name for a test message, other characters as "?".
std::string Ascii(const char16_t *name)
{
    std::string s;
    for (; *name; ++name)
        s += *name < 0x80 ? static_cast<char>(*name) : '?';
    return s;
}

uint8_t ByteAt(uint32_t i) { return static_cast<uint8_t>(i * 31 + 7); }

// A real file of `size` bytes (byte i is ByteAt(i)), removed afterwards.
class TempFile
{
public:
    explicit TempFile(uint32_t size)
    {
        static int s_nCounter = 0;
        m_path = fs::temp_directory_path() / ("pyx_rpc_" + std::to_string(++s_nCounter) + "_\xC3\xA9.bin");
        std::ofstream out(m_path, std::ios::binary);
        for (uint32_t i = 0; i < size; ++i)
            out.put(static_cast<char>(ByteAt(i)));
    }
    ~TempFile() { fs::remove(m_path); }
    std::u16string Name() const { return m_path.u16string(); }

private:
    fs::path m_path;
};

// The file object seen by the request processing: a message buffer, a
// recording channel, an injected clock and OS error.
const auto g_parameters = std::make_shared<CClientParameters>();   // the session's, for every test object

class TestRequests final : public CFileRpcRequests
{
public:
    TestRequests() { SetClientParameters(g_parameters); }
    std::vector<unsigned char> buffer = std::vector<unsigned char>(kMessageBufferSize);
    uint32_t length = 0;
    struct Write { std::vector<unsigned char> bytes; bool inPlace; };
    std::vector<Write> writes;
    bool failWrites = false;
    int64_t now = 1000;

    unsigned char *GetMessageBuffer() override { return buffer.data(); }
    uint32_t GetMessageLength() override { return length; }
    bool ChannelWrite(void *message, uint32_t size, uint32_t *written) override
    {
        const auto *b = static_cast<const unsigned char *>(message);
        writes.push_back({std::vector<unsigned char>(b, b + size), b == buffer.data()});
        *written = failWrites ? 0 : size;
        return !failWrites;
    }
    int LastOsError() override { return failWrites ? 1234 : errno; }
    int64_t CurrentTime() override { return now; }
    bool failAllocations = false;
    std::vector<uint64_t> allocated;
    std::unique_ptr<unsigned char[]> AllocateReplyBuffer(uint64_t size) override
    {
        allocated.push_back(size);
        return failAllocations ? nullptr : CFileRpcRequests::AllocateReplyBuffer(size);
    }

    void OpenLocal(const TempFile &file)
    {
        m_pFile = std::make_unique<CLocalFileInterface>();
        REQUIRE(m_pFile->Open(reinterpret_cast<const WireChar *>(file.Name().c_str())));
        m_dwFileDescriptor = static_cast<int32_t>(m_pFile->GetHandle());
        ResetThroughput();
    }

    // Puts a request in the buffer (payload words, declared size = words) and
    // processes it. Returns the number of replies it produced.
    size_t Request(uint32_t type, std::vector<uint32_t> words, uint32_t received = 0)
    {
        const std::vector<unsigned char> m = BuildWordsRequest(type, words, 0x1111, 9);
        std::copy(m.begin(), m.end(), buffer.begin());
        MessageHeader h = LoadHeader(buffer.data());   // fields a reply must not copy
        h.dwChunkIndex = 5;
        h.dwReserved1 = 0x2222;
        h.dwReserved2 = 0x3333;
        StoreHeader(buffer.data(), h);
        length = received ? received : static_cast<uint32_t>(m.size());
        const size_t before = writes.size();
        ProcessFileRpc();
        return writes.size() - before;
    }

    const std::vector<unsigned char> &Reply() const { return writes.back().bytes; }
    int32_t Result() const { return LoadLE32s(Reply().data() + 32); }
    uint32_t Word(size_t offset) const { return LoadLE32(Reply().data() + offset); }

    int32_t Read(uint32_t count, int32_t position = -1)
    {
        REQUIRE(Request(PYXMSG_RPC_READ, {uint32_t(m_dwFileDescriptor), count, uint32_t(position)}) == 1);
        return Result();
    }
    int32_t Fread(uint32_t size, uint32_t nmemb)
    {
        REQUIRE(Request(PYXMSG_RPC_FREAD, {m_dwFilePointer, size, nmemb}) == 1);
        return Result();
    }
    int32_t Fseek(int32_t offset, int32_t origin)
    {
        REQUIRE(Request(PYXMSG_RPC_FSEEK, {m_dwFilePointer, uint32_t(offset), uint32_t(origin)}) == 1);
        return Result();
    }
    int32_t Ftell()
    {
        REQUIRE(Request(PYXMSG_RPC_FTELL, {m_dwFilePointer}) == 1);
        return Result();
    }
    uint32_t Fdopen(int32_t fd)
    {
        REQUIRE(Request(PYXMSG_RPC_FDOPEN, {uint32_t(fd), 0x6272 /* "rb" */}) == 1);
        REQUIRE(Reply().size() == kFdopenReplySize);
        return Word(32);
    }
};

// Every case starts from the program's initial throughput settings.
struct Fixture
{
    Fixture()
    {
        g_parameters->dwMaxBlockKB = 0;
        g_parameters->dwTargetRate = 0;
        g_dReadScale = 1.0;
        g_notes.clear();
        g_trace.clear();
        SetNotificationSink(RecordNote);
        SetTraceHook(RecordTrace);
    }
    ~Fixture()
    {
        SetNotificationSink(nullptr);
        SetTraceHook(nullptr);
    }
    bool Traced(const wchar_t *text) const { return g_trace.find(text) != std::wstring::npos; }
};

} // namespace

TEST_CASE_FIXTURE(Fixture, "READ replies carry what was read, in place, with the request's header")
{
    TempFile file(100);
    TestRequests rpc;
    rpc.OpenLocal(file);
    rpc.m_nChannelNumber = 3;

    CHECK(rpc.Read(40, 0) == 40);
    const MessageHeader h = LoadHeader(rpc.Reply().data());
    CHECK(rpc.Reply().size() == 76);
    CHECK(h.dwMessageType == PYXMSG_RPC_READ);
    CHECK(h.dwMessageDataSize == 44);
    CHECK(h.dwPSN == 0x1111);
    CHECK(h.dwChannelNumber == 3);
    CHECK(h.dwChunkIndex == 0);
    CHECK(h.dwLastChunk == 0);
    CHECK(h.dwReserved1 == 0x2222);
    CHECK(h.dwReserved2 == 0x3333);
    for (uint32_t i = 0; i < 40; ++i)
        REQUIRE(rpc.Reply()[36 + i] == ByteAt(i));

    // 100 asked with 60 left, from the current position.
    CHECK(rpc.Read(100) == 60);
    CHECK(rpc.Reply().size() == 96);
    CHECK(rpc.Reply()[36] == ByteAt(40));

    // A position is a seek from the start, announced before the read.
    g_notes.clear();
    CHECK(rpc.Read(4, 20) == 4);
    REQUIRE(g_notes.size() == 2);
    CHECK(NotifyCodeOf(g_notes[0].first) == NOTIFY_SEEK);
    CHECK(NotifyOriginOf(g_notes[0].first) == 0);
    CHECK(g_notes[0].second == 20);
    CHECK(NotifyCodeOf(g_notes[1].first) == NOTIFY_READ);
    CHECK(g_notes[1].second == 4);
    CHECK(rpc.Read(76) == 76);
    CHECK(rpc.Reply()[36] == ByteAt(24));

    // End of file, and a count of 0: 36 bytes with 0.
    CHECK(rpc.Read(100) == 0);
    CHECK(rpc.Reply().size() == 36);
    CHECK(rpc.Read(0, 10) == 0);
    CHECK(rpc.Word(4) == 4);

    // A foreign descriptor is only logged; the object's own file answers.
    REQUIRE(rpc.Request(PYXMSG_RPC_READ, {0x77, 10, 5}) == 1);
    CHECK(rpc.Result() == 10);
    CHECK(rpc.Reply()[36] == ByteAt(5));
    CHECK(Traced(L"ChannelRead got a wrong m_dwFileDescriptor = "));

    // SEEK answers the new position or -1.
    REQUIRE(rpc.Request(PYXMSG_RPC_SEEK, {uint32_t(rpc.m_dwFileDescriptor), uint32_t(-10), 2}) == 1);
    CHECK(rpc.Result() == 90);
    CHECK(rpc.Reply().size() == 36);
    REQUIRE(rpc.Request(PYXMSG_RPC_SEEK, {uint32_t(rpc.m_dwFileDescriptor), 0, 7}) == 1);
    CHECK(rpc.Result() == -1);
}

TEST_CASE_FIXTURE(Fixture, "large READ replies use a buffer of their own; impossible ones are refused")
{
    TempFile file(140000);
    TestRequests rpc;
    rpc.OpenLocal(file);

    CHECK(rpc.Read(kInPlaceDataMax, 0) == int32_t(kInPlaceDataMax));
    CHECK(rpc.writes.back().inPlace);
    CHECK(rpc.Reply().size() == kMessageBufferSize);

    CHECK(rpc.Read(kInPlaceDataMax + 1, 0) == int32_t(kInPlaceDataMax + 1));
    CHECK_FALSE(rpc.writes.back().inPlace);
    CHECK(rpc.Reply().size() == kMessageBufferSize + 1);
    CHECK(rpc.Reply()[36 + kInPlaceDataMax] == ByteAt(kInPlaceDataMax));
    CHECK(LoadHeader(rpc.Reply().data()).dwPSN == 0x1111);
    CHECK(rpc.m_dwKBytesSent == 127 + 127);

    // Whatever the client asks, one reply takes at most the server's
    // ceiling: the count is lowered, and the file's bytes come back.
    for (uint32_t huge : {0x7FFFFFFFu, 0xFFFFFFF0u}) {
        CHECK(rpc.Read(huge, 0) == 140000);
        CHECK(rpc.allocated.back() <= uint64_t(kMaxReplyDataBytes) + 36);
    }
    REQUIRE(rpc.Fdopen(rpc.m_dwFileDescriptor) != 0);
    CHECK(rpc.Fseek(0, 0) == 0);
    CHECK(rpc.Fread(2, 0x7FFFFFFF) == 70000);
    CHECK(rpc.allocated.back() <= uint64_t(kMaxReplyDataBytes) + 36);

    // No memory: -1 in place, for READ and FRED alike; the object carries on.
    rpc.failAllocations = true;
    CHECK(rpc.Read(kInPlaceDataMax + 1, 0) == -1);
    CHECK(rpc.Reply().size() == 36);
    REQUIRE(rpc.Fdopen(rpc.m_dwFileDescriptor) != 0);
    CHECK(rpc.Fread(2, 70000) == -1);
    CHECK(Traced(L"ProcessFileRpc Fread: Failed allocating 140036 memory\r\n"));
    CHECK(rpc.m_nExtendedErrorNumber == 0);

    // A failing write of that reply still stops the object.
    rpc.failWrites = true;
    CHECK(rpc.Read(kInPlaceDataMax + 1, 0) == -1);
    CHECK(rpc.m_nExtendedErrorNumber == ERR_CHANNEL_IO);
}

TEST_CASE_FIXTURE(Fixture, "read cap and throughput adaptation")
{
    TempFile file(200000);
    TestRequests rpc;
    rpc.OpenLocal(file);
    g_parameters->dwMaxBlockKB = 64;

    SUBCASE("the cap alone")
    {
        CHECK(rpc.Read(100000, 0) == 65536);
        CHECK(rpc.Read(65536, 0) == 65536);
        CHECK(rpc.Read(1000, 0) == 1000);
        CHECK(g_dReadScale.load() == 1.0);
    }

    SUBCASE("no adaptation before the first measurement, then 5% steps up, clamped to the count")
    {
        g_parameters->dwTargetRate = 100;
        CHECK(rpc.Read(100000, 0) == 65536);   // 64 KB counted
        rpc.now = 1003;
        CHECK(rpc.Read(100000, 0) == 65536);   // 3 s: no measurement yet
        CHECK(rpc.m_dwThroughput == 0);
        rpc.now = 1004;                        // 128 KB in 4 s: 32 KB/s, below target
        CHECK(rpc.Read(100000, 0) == 68812);
        CHECK(rpc.m_dwThroughput == 32);
        CHECK(rpc.m_tWindowStart == 1004);
        CHECK(rpc.Read(100000, 0) == 72253);
        int32_t last = 0;
        for (int i = 0; i < 20; ++i) {
            last = rpc.Read(100000, 0);
            REQUIRE(last <= 100000);
        }
        CHECK(last == 100000);
        CHECK(rpc.Read(2000, 0) == 2000);      // never above what was asked
    }

    SUBCASE("5% steps down at or above the target, never below 1 KB")
    {
        g_parameters->dwTargetRate = 100;
        rpc.m_dwThroughput = 100;
        CHECK(rpc.Read(100000, 0) == 62259);
        CHECK(rpc.Read(100000, 0) == 59146);
        for (int i = 0; i < 20000; ++i)
            REQUIRE(rpc.Read(100000, 0) >= 1024);
        CHECK(rpc.Read(100000, 0) == 1024);
        CHECK(rpc.Read(500, 0) == 500);
        // The scale stays bounded, so it recovers once the rate drops.
        CHECK(g_dReadScale.load() > 0.0);
        rpc.m_dwThroughput = 10;
        int32_t last = 0;
        for (int i = 0; i < 400; ++i)
            last = rpc.Read(100000, 0);
        CHECK(last == 100000);
    }
}

TEST_CASE_FIXTURE(Fixture, "stream requests: FDOP, FRED, FSEK, FTEL")
{
    TempFile file(100);
    TestRequests rpc;
    rpc.OpenLocal(file);
    rpc.m_nChannelNumber = 2;

    SUBCASE("before FDOP there is no stream, and nothing fails")
    {
        CHECK(rpc.Fread(8, 10) == 0);
        CHECK(rpc.Word(4) == 4);
        CHECK(rpc.Fseek(0, 0) == -1);
        CHECK(rpc.Ftell() == -1);
    }

    SUBCASE("FDOP with another descriptor makes nothing and keeps the stream")
    {
        const uint32_t stream = rpc.Fdopen(rpc.m_dwFileDescriptor);
        REQUIRE(stream != 0);
        CHECK(rpc.Fdopen(rpc.m_dwFileDescriptor + 1) == 0);
        CHECK(rpc.Word(36) == 0);
        CHECK(rpc.Word(40) == 0);
        CHECK(rpc.m_dwFilePointer == stream);
        CHECK(LoadHeader(rpc.Reply().data()).dwMessageDataSize == 12);
    }

    SUBCASE("whole elements, size 0 and size 1")
    {
        const size_t streamsBefore = StreamCount();
        REQUIRE(rpc.Fdopen(rpc.m_dwFileDescriptor) != 0);
        CHECK(rpc.Fseek(80, 0) == 0);
        CHECK(rpc.Ftell() == 80);
        CHECK(rpc.Fread(8, 10) == 2);
        CHECK(rpc.Word(4) == 20);
        CHECK(rpc.Reply()[36] == ByteAt(80));
        CHECK(rpc.Fread(0, 10) == 0);
        CHECK(rpc.Fseek(-30, 2) == 0);
        CHECK(rpc.Fread(1, 50) == 30);

        // An origin outside 0..2 is refused and leaves the position.
        g_trace.clear();
        CHECK(rpc.Fseek(5, 7) == -1);
        CHECK(Traced(L" PYXMSG_RPC_FSEEK offset: 5, Origin: "));
        CHECK_FALSE(Traced(L"SEEK_"));
        CHECK(rpc.Ftell() == 100);

        // A second FDOP replaces the stream; the first is closed, not leaked.
        const uint32_t first = rpc.m_dwFilePointer;
        const uint32_t second = rpc.Fdopen(rpc.m_dwFileDescriptor);
        CHECK(second != 0);
        CHECK(second != first);
        CHECK(StreamCount() == streamsBefore + 1);

        // Closing the stream leaves the file's own descriptor open.
        rpc.ReleaseStream();
        CHECK(StreamCount() == streamsBefore);
        CHECK(rpc.Read(10, 0) == 10);
    }

    SUBCASE("the cap counts bytes; a product beyond 32 bits is no overflow")
    {
        TempFile big(200000);
        TestRequests large;
        large.OpenLocal(big);
        REQUIRE(large.Fdopen(large.m_dwFileDescriptor) != 0);
        g_parameters->dwMaxBlockKB = 64;
        CHECK(large.Fread(1, 100000) == 65536);
        CHECK(large.Fseek(0, 0) == 0);
        CHECK(large.Fread(1000, 100) == 65);
        g_parameters->dwMaxBlockKB = 0;
        // 4 GiB asked: lowered to the server's ceiling, the whole elements there are.
        CHECK(large.Fseek(0, 0) == 0);
        CHECK(large.Fread(0x10000, 0x10000) == 3);
        CHECK(large.allocated.back() <= uint64_t(kMaxReplyDataBytes) + 36);
        CHECK(large.Fseek(0, 0) == 0);
        CHECK(large.Fread(10, 13104) == 13104);   // 131040 bytes: a buffer of its own
        CHECK_FALSE(large.writes.back().inPlace);

        // Adaptation never lets more through than the cap: an element larger
        // than the cap reads nothing, even with the throughput below target.
        g_parameters->dwMaxBlockKB = 64;
        g_parameters->dwTargetRate = 100;
        large.m_dwThroughput = 10;
        CHECK(large.Fread(70000, 2) == 0);
        CHECK(large.Fseek(0, 0) == 0);
        CHECK(large.Fread(1000, 100) == 71);   // 65 x 1.05 x 1.05
    }
}

namespace {

// A source with a handle that is no descriptor, like a URL.
class UrlLikeSource : public CVirtualFileInterface
{
public:
    bool Open(const WireChar *) override { return true; }
    int Read(void *, unsigned) override { return -1; }
    long Seek(long, int) override { return -1; }
    int Close() override { return 1; }
    uint32_t GetHandle() override { return 0; }   // a real descriptor number on purpose
    uint32_t LastError() const override { return 0; }
};

// One that runs out of memory in every read and seek instead.
class StarvedSource final : public UrlLikeSource
{
public:
    int Read(void *, unsigned) override { throw std::bad_alloc(); }
    long Seek(long, int) override { throw std::bad_alloc(); }
    uint32_t GetHandle() override { return 7; }
};

} // namespace

TEST_CASE_FIXTURE(Fixture, "a request that runs out of memory gets the failed reply the client waits for")
{
    TestRequests rpc;
    rpc.m_pFile = std::make_unique<StarvedSource>();
    rpc.m_dwFileDescriptor = 7;
    for (uint32_t count : {100u, 200000u}) {   // in place and in a reply buffer of its own
        CHECK(rpc.Read(count) == -1);
        CHECK(rpc.Reply().size() == 36);
        CHECK(LoadHeader(rpc.Reply().data()).dwPSN == 0x1111);
        CHECK(LoadHeader(rpc.Reply().data()).dwMessageType == PYXMSG_RPC_READ);
    }
    REQUIRE(rpc.Request(PYXMSG_RPC_SEEK, {7, 10, 0}) == 1);
    CHECK(rpc.Result() == -1);
    CHECK(Traced(L"ProcessFileRpc: out of memory"));
    CHECK(rpc.Read(100) == -1);   // and the next request is served as usual
}

TEST_CASE_FIXTURE(Fixture, "FDOP over a source that is no local file makes no stream")
{
    TestRequests rpc;
    rpc.m_pFile = std::make_unique<UrlLikeSource>();
    rpc.m_dwFileDescriptor = 0;
    CHECK(rpc.Fdopen(0) == 0);
    CHECK(rpc.Word(40) != 0);
    CHECK(Traced(L"ChannelRead PYXMSG_RPC_FDOPEN, fdopen failed! Error = "));
}

TEST_CASE_FIXTURE(Fixture, "a local file announces open, size probe, reads and close in order")
{
    TempFile file(1000);
    const std::u16string name = file.Name();
    const auto *wire = reinterpret_cast<const WireChar *>(name.c_str());
    const uint16_t crc = NameChecksum(wire, name.size());
    {
        CLocalFileInterface source;
        REQUIRE(source.Open(wire));
        const int32_t fd = static_cast<int32_t>(source.GetHandle());
        CHECK(source.Seek(0, 2) == 1000);
        CHECK(source.Seek(0, 0) == 0);
        char data[4096];
        CHECK(source.Read(data, sizeof data) == 1000);
        CHECK(source.Seek(-128, 2) == 872);

        const std::vector<std::pair<uint32_t, int32_t>> expected = {
            {MakeNotifyWParam(NOTIFY_FILE_OPENED, 0, crc), fd & 0xFFFF},
            {MakeNotifyWParam(NOTIFY_SEEK, 2, crc), 0},
            {MakeNotifyWParam(NOTIFY_FILE_SIZE, 0, crc), 1000},
            {MakeNotifyWParam(NOTIFY_SEEK, 0, crc), 0},
            {MakeNotifyWParam(NOTIFY_READ, 0, crc), 4096},
            {MakeNotifyWParam(NOTIFY_SEEK, 2, crc), -128},
            {MakeNotifyWParam(NOTIFY_FILE_SIZE, 0, crc), 1000},
        };
        CHECK(g_notes == expected);
        g_notes.clear();
    }   // destroyed open: closes
    REQUIRE(g_notes.size() == 1);
    CHECK(g_notes[0].first == MakeNotifyWParam(NOTIFY_FILE_CLOSED, 0, crc));

    // A missing file: code 0 with 65535 and nothing else; errno survives,
    // and the source keeps it.
    g_notes.clear();
    CLocalFileInterface missing;
    const std::u16string nowhere = name + u".missing";
    CHECK_FALSE(missing.Open(reinterpret_cast<const WireChar *>(nowhere.c_str())));
    CHECK((errno == ENOENT && missing.LastError() == ENOENT));
    REQUIRE(g_notes.size() == 1);
    CHECK(g_notes[0].second == 65535);
    CHECK(missing.Close() == -1);
    CHECK(g_notes.size() == 1);
}

TEST_CASE("names of pipes, devices and consoles are told from file names on their text alone")
{
    auto plain = [](const char16_t *name) { return IsPlainFileName(reinterpret_cast<const WireChar *>(name)); };
    for (const char16_t *refused :
         {u"\\\\.\\pipe\\x", u"//./pipe/x", u"\\\\.\\C:\\media\\a.avi", u"\\\\.\\PhysicalDrive0", u"\\??\\C:\\a.avi",
          u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\x", u"\\\\?\\pipe\\x", u"\\\\?\\unc", u"\\\\server\\pipe\\x",
          u"\\\\SERVER\\PIPE\\x", u"//server/Pipe/x", u"\\\\server\\\\pipe\\x", u"\\\\127.0.0.1\\mailslot\\m",
          u"\\\\?\\UNC\\host\\pipe\\x", u"\\\\?\\unc\\host\\PIPE", u"CON", u"con", u"NUL", u"nul.txt", u"AUX",
          u"PRN", u"CONIN$", u"conout$", u"COM1", u"COM1.txt", u"com9", u"LPT1", u"lpt9.avi", u"C:\\media\\CON",
          u"C:\\media\\nul.avi", u"C:\\media\\con.", u"C:\\media\\CON ...", u"C:\\media\\con .avi",
          u"C:\\media\\aux:stream", u"C:nul", u"\\\\server\\share\\COM3", u"\\\\?\\C:\\media\\prn.avi",
          u"COM\u00b9", u"C:/media/LPT2.mp3", u"\\\\host\\IPC$\\x", u"\\\\host\\pipe.\\x", u"\\\\host\\pipe \\x",
          u"\\\\host\\PIPE..\\x", u"\\\\host\\mailslot. \\m", u"\\\\?\\UNC\\host\\ipc$\\x",
          u"\\\\;LanmanRedirector\\host\\pipe\\x", u"//;LanmanRedirector/host/share/a.avi",
          u"\\\\?\\UNC\\;LanmanRedirector\\host\\pipe\\x"})
        CHECK_MESSAGE(!plain(refused), Ascii(refused));
    for (const char16_t *passed :
         {u"C:\\media\\a.avi", u"C:\\conformance\\x.avi", u"CONTROL.avi", u"C:\\media\\console.avi",
          u"C:\\media\\com10", u"C:\\media\\COM0", u"C:\\media\\lpt", u"C:\\media\\nully.wav",
          u"C:\\CON\\film.avi", u"C:\\pipe\\x.avi", u"\\\\server\\share\\film.avi",
          u"\\\\server\\pipes\\film.avi", u"\\\\server\\share\\pipe\\film.avi", u"\\\\?\\C:\\media\\a.avi",
          u"\\\\server\\pipe.x\\film.avi", u"\\\\server\\ipc\\film.avi", u"C:\\media\\;a.avi",
          u"\\\\?\\UNC\\server\\share\\a.avi", u"/tmp/media/a.avi", u"relative\\a.avi", u"a.avi", u"",
          u"C:\\media\\\u00e9con.avi"})
        CHECK_MESSAGE(plain(passed), Ascii(passed));
    CHECK_FALSE(IsPlainFileName(nullptr));

    // Only a name that starts at a drive's root has a drive: a drive-relative
    // name ("C:a.avi") or a share's has none, so its open is never taken
    // for one that cannot hang.
    auto drive = [](const char16_t *name) { return DriveLetterOf(reinterpret_cast<const WireChar *>(name)); };
    CHECK(drive(u"c:\\media\\a.avi") == u'C');
    CHECK(drive(u"D:/a.avi") == u'D');
    for (const char16_t *none : {u"C:a.avi", u"\\\\server\\share\\a.avi", u"\\\\?\\C:\\a.avi", u"1:\\a", u"a.avi", u""})
        CHECK_MESSAGE(drive(none) == 0, Ascii(none));
    CHECK(DriveLetterOf(nullptr) == 0);

    // Every part on the way from the drive's root is looked at, in order,
    // until the first that says stop: a link there may lead to a share.
    const auto prefixes = [](const char16_t *name, size_t stopAfter = 99) {
        std::vector<std::string> seen;
        const bool all = EveryPathPrefix(reinterpret_cast<const WireChar *>(name), [&](const WireChar *prefix) {
            seen.push_back(Ascii(reinterpret_cast<const char16_t *>(prefix)));
            return seen.size() < stopAfter;
        });
        return std::make_pair(all, seen);
    };
    using Seen = std::vector<std::string>;
    CHECK(prefixes(u"C:\\media\\films\\a.avi") ==
          std::make_pair(true, Seen{"C:\\media", "C:\\media\\films", "C:\\media\\films\\a.avi"}));
    CHECK(prefixes(u"d:/media//a.avi/") == std::make_pair(true, Seen{"d:\\media", "d:\\media\\a.avi"}));
    CHECK(prefixes(u"C:\\link\\..\\a.avi", 1) == std::make_pair(false, Seen{"C:\\link"}));
    CHECK(prefixes(u"C:\\") == std::make_pair(true, Seen{}));
    CHECK(prefixes(u"\\\\server\\share\\a.avi") == std::make_pair(true, Seen{}));
}

TEST_CASE("a failed open's platform error becomes the errno the C runtime's open gave for it")
{
    // Named errors, both ends of the two ranges and their neighbours, and
    // errors the runtime does not name (an invalid name among them).
    const std::pair<uint32_t, int> cases[] = {
        {2, 2},    {3, 2},     {123, 22}, {161, 2},  {206, 2},  {53, 2},   {4, 24},  {5, 13},   {18, 2},
        {19, 13},  {32, 13},   {36, 13},  {37, 22},  {6, 9},    {8, 12},   {14, 22}, {1816, 12}, {187, 22},
        {188, 8},  {202, 8},   {203, 22}, {145, 41}, {112, 28}, {183, 17}, {0, 22},  {1, 22},   {0xFFFFFFFFu, 22}};
    for (const auto &c : cases) {
        CAPTURE(c.first);
        CHECK(CrtErrnoOfOsError(c.first) == c.second);
    }
}

TEST_CASE_FIXTURE(Fixture, "a name that is no file on disk is refused as a missing file is, with a log line")
{
    // A pipe by its text (never opened); here also, once opened, a device
    // and a FIFO, which must not wait for a writer.
    std::vector<std::u16string> names = {u"\\\\.\\pipe\\tarsel", u"COM1.txt"};
#ifndef _WIN32
    const fs::path fifo = fs::temp_directory_path() / ("pyx_fifo_" + std::to_string(getpid()));
    REQUIRE(mkfifo(fifo.c_str(), 0600) == 0);
    names.push_back(u"/dev/null");
    names.push_back(fifo.u16string());
#endif
    for (const std::u16string &name : names) {
        g_notes.clear();
        g_trace.clear();
        errno = 0;
        CLocalFileInterface source;
        CHECK_FALSE(source.Open(reinterpret_cast<const WireChar *>(name.c_str())));
        CHECK((errno == ENOENT && source.LastError() == ENOENT));
        CHECK(source.GetHandle() == 0xFFFFFFFFu);
        REQUIRE(g_notes.size() == 1);
        CHECK(g_notes[0].second == 65535);
        CHECK(g_trace.find(L"refused a name that is not a disk file") != std::wstring::npos);
    }
#ifndef _WIN32
    fs::remove(fifo);
#endif
}

TEST_CASE_FIXTURE(Fixture, "short, lying and unknown requests get no reply; a failed write stops the object")
{
    TempFile file(100);
    TestRequests rpc;
    rpc.OpenLocal(file);
    const uint32_t fd = uint32_t(rpc.m_dwFileDescriptor);

    CHECK(rpc.Request(PYXMSG_RPC_READ, {fd, 10}) == 0);                 // no position word
    CHECK(Traced(L"too short for its fields"));
    CHECK(rpc.Request(PYXMSG_RPC_READ, {fd, 10, 0}, 36) == 0);          // declares 12, 4 arrived
    CHECK(rpc.Request(PYXMSG_RPC_FREAD, {1, 2, 3}, 20) == 0);           // not even a header
    CHECK(rpc.Request(PYXMSG_RPC_FTELL, {}, 40) == 0);                  // declares no payload
    CHECK(rpc.Request(FourCC("WHAT"), {fd, 10, 0}) == 0);
    CHECK(Traced(L"ChannelRead got unrecognized chunk of data... phdr->dwMessageType = 0x54414857"));
    CHECK(rpc.m_nExtendedErrorNumber == 0);

    rpc.failWrites = true;
    CHECK(rpc.Read(100, 0) == 100);
    CHECK(rpc.m_nExtendedErrorNumber == ERR_CHANNEL_IO);
    CHECK(rpc.m_nSystemErrorNumber == 1234);
    CHECK(rpc.m_dwKBytesSent == 0);
    CHECK(Traced(L"ProcessFileRpc: ChannelWrite failed"));
}

TEST_CASE("READ notes waiting for the desktop add up per file: nothing is lost, order per file and other codes stay")
{
    using Q = CNotificationQueue;
    auto read = [](uint16_t crc, int32_t bytes) { return Q::Note{MakeNotifyWParam(NOTIFY_READ, 0, crc), bytes}; };
    auto seek = [](uint16_t crc) { return Q::Note{MakeNotifyWParam(NOTIFY_SEEK, 0, crc), 0}; };
    // 10,000 READs of 64 KiB while the poster posts nothing, with a seek of
    // the file and reads of another file among them.
    auto q = std::make_unique<Q>();
    int64_t bytesA = 0, bytesB = 0;
    for (int i = 0; i < 10000; ++i) {
        const bool b = i % 1000 == 999;
        if (i == 5000)
            REQUIRE(q->Push(seek(0x1111)) == Q::Pushed::Queued);
        CHECK(q->Push(read(b ? 0x2222 : 0x1111, 65536)) != Q::Pushed::Full);
        (b ? bytesB : bytesA) += 65536;
    }
    // A's reads before the seek, B's reads, the seek, A's reads after it.
    REQUIRE(q->Count() == 4);
    Q::Note note{};
    int64_t postedA = 0, postedB = 0;
    std::vector<uint32_t> codes;
    for (; q->Front(&note); q->PopFront()) {
        codes.push_back(note.wParam);
        if (Q::IsRead(note))
            ((note.wParam >> 16) == 0x2222 ? postedB : postedA) += note.lParam;
    }
    CHECK(codes == std::vector<uint32_t>{read(0x1111, 0).wParam, read(0x2222, 0).wParam, seek(0x1111).wParam,
                                         read(0x1111, 0).wParam});
    CHECK(postedA == bytesA);
    CHECK(postedB == bytesB);

    // The note being posted takes nothing more; the next read waits behind it.
    Q posting;
    posting.Push(read(0x3333, 1));
    REQUIRE(posting.TakeFront(&note));
    CHECK(posting.Push(read(0x3333, 2)) == Q::Pushed::Queued);
    CHECK(posting.Push(read(0x3333, 3)) == Q::Pushed::Merged);
    posting.PopFront();
    REQUIRE(posting.Front(&note));
    CHECK(note.lParam == 5);
    CHECK(posting.Push(read(0x3333, 4)) == Q::Pushed::Merged);   // waiting, not taken

    // A full queue: a READ still goes into its file's waiting READ and never
    // waits; one with nothing to go into, and every other code, find it full.
    Q full;
    full.Push(read(0x3333, 5));
    while (full.Count() < Q::kCapacity)
        full.Push(seek(0x4444));
    CHECK(full.Push(read(0x3333, 7)) == Q::Pushed::Merged);
    CHECK(full.Push(read(0x5555, 7)) == Q::Pushed::Full);
    CHECK(full.Push(read(0x4444, 7)) == Q::Pushed::Full);   // after its seek: not into an earlier read
    CHECK(full.Push({MakeNotifyWParam(NOTIFY_FILE_CLOSED, 0, 0x3333), 3}) == Q::Pushed::Full);
    REQUIRE(full.Front(&note));
    CHECK(note.lParam == 12);
}

#ifdef _WIN32
#include <windows.h>

namespace {

UINT g_uNotifyMessage;
bool g_bNotified;
WPARAM g_wNotifyParam;
LPARAM g_lNotifyParam;

LRESULT CALLBACK ListenerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == g_uNotifyMessage && message != 0) {
        g_bNotified = true;
        g_wNotifyParam = wParam;
        g_lNotifyParam = lParam;
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

} // namespace

TEST_CASE("the default sink broadcasts the registered message to top-level windows")
{
    g_uNotifyMessage = RegisterWindowMessageW(kServerNotificationName);
    REQUIRE(g_uNotifyMessage != 0);
    WNDCLASSW wc{};
    wc.lpfnWndProc = ListenerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PyxNotificationListener";
    REQUIRE(RegisterClassW(&wc));
    HWND listener = CreateWindowExW(0, wc.lpszClassName, L"listener", WS_OVERLAPPED, 0, 0, 50, 50, nullptr,
                                    nullptr, wc.hInstance, nullptr);
    REQUIRE(listener);

    SetNotificationSink(nullptr);
    PostServerNotification(MakeNotifyWParam(NOTIFY_SEEK, 2, 0xBEEF), -128);
    const DWORD start = GetTickCount();
    MSG msg;
    while (!g_bNotified && GetTickCount() - start < 5000) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(10);
    }
    CHECK(g_bNotified);
    CHECK(static_cast<uint32_t>(g_wNotifyParam) == 0xBEEF0202u);
    CHECK(static_cast<int32_t>(g_lNotifyParam) == -128);
    DestroyWindow(listener);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
}
#endif
