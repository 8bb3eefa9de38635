// The Internet file source under Wine, against the loopback HTTP server.
#include "doctest.h"

#include "http_server.h"
#include "internet_file_win.h"
#include "win_test_util.h"

#include <windows.h>
#include <wininet.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

using loopback::HttpServer;

namespace {

using wintest::PatternByte;

std::vector<unsigned char> Pattern(uint32_t size)
{
    std::vector<unsigned char> v(size);
    for (uint32_t i = 0; i < size; ++i)
        v[i] = PatternByte(i);
    return v;
}

constexpr uint32_t kSize = 3 * 1024 * 1024 + 4321;

std::u16string Wire(const std::string &url) { return std::u16string(url.begin(), url.end()); }

// Reads count bytes at the current position and checks each against the
// pattern at `from`; the number of bytes read.
int ReadAndCheck(CInternetFileInterface &file, uint32_t from, unsigned count)
{
    std::vector<unsigned char> buffer(count ? count : 1);
    const int got = file.Read(buffer.data(), count);
    for (int i = 0; i < got; ++i) {
        if (buffer[i] != PatternByte(from + static_cast<uint32_t>(i))) {
            FAIL_CHECK("byte " << from + i << " differs");
            return -2;
        }
    }
    return got;
}

// The first and last byte a request's Range header asked for; false when it
// asked for no bounded range.
bool AskedRange(const HttpServer::RequestRecord &request, int64_t *first, int64_t *last)
{
    const std::string &range = request.range;
    const size_t dash = range.find('-');
    if (range.compare(0, 6, "bytes=") != 0 || dash == std::string::npos || dash == 6 || dash + 1 == range.size())
        return false;
    *first = std::stoll(range.substr(6, dash - 6));
    *last = std::stoll(range.substr(dash + 1));
    return *first <= *last;
}

struct Served
{
    HttpServer server;
    std::string url;
    explicit Served(unsigned modes = HttpServer::kNormal, uint32_t size = kSize, const char *path = "/media/clip one.avi")
    {
        server.AddFile(path, Pattern(size));
        server.SetModes(modes);
        REQUIRE(server.Start());
        url = server.Url(path);
    }
    size_t Requests() const { return server.Requests().size(); }
};

} // namespace

TEST_CASE("a URL is sized, positioned from every origin and read byte for byte")
{
    Served s;
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    CHECK(file.GetHandle() != 0);
    CHECK(file.GetHandle() != 0xFFFFFFFFu);

    // The size probe of an open asks nothing more of the server: the one
    // download serves the reads from the start.
    CHECK(file.Seek(0, 2) == static_cast<long>(kSize));
    CHECK(file.Seek(0, 0) == 0);
    CHECK(ReadAndCheck(file, 0, 0) == 0);
    CHECK(s.Requests() == 1);

    // Sequential reads to the end, then the end.
    uint32_t at = 0;
    while (at < kSize) {
        const int got = ReadAndCheck(file, at, 100000);
        REQUIRE(got > 0);
        at += static_cast<uint32_t>(got);
    }
    CHECK(at == kSize);
    CHECK(ReadAndCheck(file, at, 4096) == 0);
    CHECK(ReadAndCheck(file, at, 4096) == 0);
    // Window after window, each from where the last ended, the last one
    // ending at the end; nothing asked at the end.
    int64_t next = 0;
    for (const auto &r : s.server.Requests()) {
        int64_t first = 0, last = 0;
        REQUIRE(AskedRange(r, &first, &last));
        CHECK(first == next);
        CHECK(last - first < CInternetFileInterface::kWindow);
        next = last + 1;
    }
    CHECK(next == kSize);
    // All on the one connection the open made: each window was read to its
    // end before the next was asked for. (A window closed part-way keeps the
    // connection only when its rest has already arrived, so the seeks below
    // may take new ones.)
    CHECK(s.Requests() >= 4);
    CHECK(s.server.Connections() == 1);

    // From the end, the current position and the start.
    CHECK(file.Seek(-1000, 2) == static_cast<long>(kSize - 1000));
    CHECK(ReadAndCheck(file, kSize - 1000, 4096) == 1000);
    CHECK(file.Seek(12345, 0) == 12345);
    CHECK(ReadAndCheck(file, 12345, 10) == 10);
    CHECK(file.Seek(500000, 1) == 12355 + 500000);
    CHECK(ReadAndCheck(file, 512355, 777) == 777);
    CHECK(file.Seek(-300000, 1) == 512355 + 777 - 300000);
    CHECK(ReadAndCheck(file, 512355 + 777 - 300000, 65536) == 65536);

    // A seek to where it is, or a short way forward, asks the server nothing.
    const size_t before = s.Requests();
    const long here = file.Seek(0, 1);
    CHECK(file.Seek(here, 0) == here);
    CHECK(file.Seek(1000, 1) == here + 1000);
    CHECK(ReadAndCheck(file, static_cast<uint32_t>(here + 1000), 5000) == 5000);
    CHECK(s.Requests() == before);

    // At and past the end nothing is read; a seek back reads again.
    CHECK(file.Seek(0, 2) == static_cast<long>(kSize));
    CHECK(ReadAndCheck(file, kSize, 10) == 0);
    CHECK(file.Seek(kSize + 50, 0) == static_cast<long>(kSize + 50));
    CHECK(ReadAndCheck(file, kSize, 10) == 0);
    CHECK(file.Seek(-10, 2) == static_cast<long>(kSize - 10));
    CHECK(ReadAndCheck(file, kSize - 10, 100) == 10);

    // Before the start, or an unknown origin: refused, the position kept.
    CHECK(file.Seek(-1, 0) == -1);
    CHECK(file.Seek(-static_cast<long>(kSize) - 1, 2) == -1);
    CHECK(file.Seek(0, 3) == -1);
    CHECK(file.Seek(0, 1) == static_cast<long>(kSize));

    // Every request carried the user agent; the seeks asked for ranges.
    bool ranged = false;
    for (const auto &r : s.server.Requests()) {
        CHECK(r.method == "GET");
        CHECK(r.path == "/media/clip one.avi");
        CHECK(r.userAgent == "Mozilla/4.0 (compatible; MSIE 6.0;Windows NT 5.1)");
        ranged = ranged || r.range == "bytes=12345-" + std::to_string(12345 + CInternetFileInterface::kFirstWindow - 1);
    }
    CHECK(ranged);
    CHECK(file.Close() == 1);
    CHECK(file.Close() == 1);
    CHECK(file.Read(nullptr, 0) == -1);
}

TEST_CASE("positioned reads at random places give the file's bytes")
{
    Served s;
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    for (int i = 0; i < 40; ++i) {
        const uint32_t position = next(kSize);
        const unsigned count = 1 + next(80000);
        REQUIRE(file.Seek(static_cast<long>(position), 0) == static_cast<long>(position));
        const unsigned expected = position + count > kSize ? kSize - position : count;
        CHECK(ReadAndCheck(file, position, count) == static_cast<int>(expected));
        CHECK(file.Seek(0, 1) == static_cast<long>(position + expected));
    }
}

TEST_CASE("two open URLs have descriptors of their own and read independently")
{
    Served s;
    CInternetFileInterface a, b;
    REQUIRE(a.Open(Wire(s.url).c_str()));
    REQUIRE(b.Open(Wire(s.url).c_str()));
    CHECK(a.GetHandle() != b.GetHandle());
    for (uint32_t h : {a.GetHandle(), b.GetHandle()}) {
        CHECK(h != 0);
        CHECK(h != 0xFFFFFFFFu);
    }
    REQUIRE(b.Seek(2000000, 0) == 2000000);
    uint32_t atA = 0, atB = 2000000;
    for (int i = 0; i < 8; ++i) {
        int got = ReadAndCheck(a, atA, 30000);
        REQUIRE(got == 30000);
        atA += 30000;
        got = ReadAndCheck(b, atB, 30000);
        REQUIRE(got == 30000);
        atB += 30000;
    }
    CHECK(s.server.Connections() >= 2);
}

TEST_CASE("a URL whose length the server does not tell fails the size probe")
{
    Served s(HttpServer::kNoLength, 700000);
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    CHECK(file.Size() == -1);
    CHECK(file.Seek(0, 2) == -1);
    CHECK(file.LastError() == ERROR_INTERNET_INVALID_OPERATION);
    // Still read to its end, window after window: the window that starts
    // there is refused.
    CHECK(file.Seek(0, 0) == 0);
    uint32_t at = 0;
    for (int got; (got = ReadAndCheck(file, at, 65536)) > 0;)
        at += static_cast<uint32_t>(got);
    CHECK(at == 700000);
    CHECK(ReadAndCheck(file, at, 10) == 0);
}

TEST_CASE("a server that ignores ranges still gives the right bytes after a seek")
{
    Served s(HttpServer::kIgnoreRange, 1500000);
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    // The whole body came for a window: read straight across where the
    // window would have ended.
    for (uint32_t at = 0; at < 600000; at += 100000)
        REQUIRE(ReadAndCheck(file, at, 100000) == 100000);
    CHECK(file.Seek(0, 2) == 1500000);
    CHECK(file.Seek(0, 0) == 0);
    CHECK(file.Seek(900000, 0) == 900000);
    CHECK(ReadAndCheck(file, 900000, 1000) == 1000);
    CHECK(file.Seek(100, 0) == 100);
    CHECK(ReadAndCheck(file, 100, 1000) == 1000);
    // Once the server is known to ignore ranges, forward seeks skip on the
    // download instead of asking again.
    const size_t before = s.Requests();
    CHECK(file.Seek(1200000, 0) == 1200000);
    CHECK(ReadAndCheck(file, 1200000, 300000) == 300000);
    CHECK(ReadAndCheck(file, 1500000, 10) == 0);
    CHECK(s.Requests() == before);
}

TEST_CASE("on a large URL a seek, a read and a close each take well under a second, and every window is bounded")
{
    // Closing a download part-way makes the library read the rest of its
    // body: seconds for a whole body of this size, a fraction for a window.
    constexpr uint32_t kLarge = 200u << 20;
    Served s(HttpServer::kNormal, kLarge);
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    REQUIRE(file.Size() == kLarge);
    // The time since the last call.
    DWORD start = GetTickCount();
    const auto lap = [&start] {
        const DWORD now = GetTickCount(), ms = now - start;
        start = now;
        return ms;
    };
    const uint32_t middle = kLarge / 2 + 12345;
    CHECK(file.Seek(middle, 0) == static_cast<long>(middle));
    CHECK(lap() < 1000);
    // Two reads as large as a client's, across windows.
    CHECK(ReadAndCheck(file, middle, 4 << 20) == 4 << 20);
    CHECK(lap() < 1000);
    CHECK(ReadAndCheck(file, middle + (4 << 20), 2 << 20) == 2 << 20);
    CHECK(lap() < 1000);
    CHECK(file.Seek(1000 - static_cast<long>(middle + (6 << 20)), 1) == 1000);
    CHECK(lap() < 1000);
    CHECK(ReadAndCheck(file, 1000, 100000) == 100000);
    CHECK(lap() < 1000);
    CHECK(file.Close() == 1);
    CHECK(lap() < 1000);

    for (const auto &r : s.server.Requests()) {
        int64_t first = 0, last = 0;
        REQUIRE(AskedRange(r, &first, &last));
        CHECK(last - first < CInternetFileInterface::kWindow);
        CHECK(last < kLarge);
    }
}

TEST_CASE("a URL that cannot be fetched does not open")
{
    SUBCASE("nothing listens on the port")
    {
        uint16_t port;
        {
            HttpServer gone;
            REQUIRE(gone.Start());
            port = gone.Port();
        }
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/clip.avi";
        CInternetFileInterface file;
        CHECK_FALSE(file.Open(Wire(url).c_str()));
        CHECK(file.LastError() == ERROR_INTERNET_CANNOT_CONNECT);
        CHECK(file.Close() == 1);
    }
    SUBCASE("the server has no such file")
    {
        Served s;
        CInternetFileInterface file;
        CHECK_FALSE(file.Open(Wire(s.server.Url("/missing.avi")).c_str()));
        CHECK(file.LastError() == ERROR_FILE_NOT_FOUND);
    }
    SUBCASE("the name is no URL the library knows")
    {
        CInternetFileInterface file;
        CHECK_FALSE(file.Open(u"nosuchscheme://host/clip.avi"));
        CHECK(file.LastError() != 0);
    }
}

TEST_CASE("a download that ends before its announced length is an error, not the end of the file")
{
    Served s(HttpServer::kCutShort, 300000);
    CInternetFileInterface file;
    REQUIRE(file.Open(Wire(s.url).c_str()));
    REQUIRE(file.Seek(0, 2) == 300000);
    REQUIRE(file.Seek(0, 0) == 0);
    uint32_t at = 0;
    int got;
    while ((got = ReadAndCheck(file, at, 65536)) > 0)
        at += static_cast<uint32_t>(got);
    CHECK(got == -1);
    CHECK(at > 0);
    CHECK(at < 300000);
    CHECK(file.LastError() != 0);
}

namespace {

// Reads on in `chunk`s from `from`, every byte checked, until a read gives
// 0 or fails; the position reached, and the last read's result in *last.
uint32_t ReadOn(CInternetFileInterface &file, uint32_t from, unsigned chunk, int *last)
{
    uint32_t at = from;
    while ((*last = ReadAndCheck(file, at, chunk)) > 0)
        at += static_cast<uint32_t>(*last);
    return at;
}

} // namespace

TEST_CASE("servers that lie in Content-Range or change their ways part-way: never a wrong byte, never a false end")
{
    constexpr uint32_t kWindowEnd = static_cast<uint32_t>(CInternetFileInterface::kFirstWindow);
    int last = 0;
    SUBCASE("the part sent is said to begin at 0: the windows after the first are refused, as is a seek")
    {
        Served s(HttpServer::kRangeStartLies);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(ReadOn(file, 0, 100000, &last) == kWindowEnd);
        CHECK(last == -1);
        CHECK(file.LastError() == ERROR_HTTP_INVALID_SERVER_RESPONSE);
        CHECK(file.Seek(2000000, 0) == -1);
        CHECK(ReadAndCheck(file, kWindowEnd, 1000) == -1);
    }
    SUBCASE("the part is said to run further than the body sent: the read fails where the body ends")
    {
        Served s(HttpServer::kRangeLengthLies);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(ReadOn(file, 0, 100000, &last) == kWindowEnd);
        CHECK(last == -1);
        CHECK(file.LastError() != 0);
    }
    SUBCASE("the whole body (200) after two ranged answers: read on by skipping, then without ranges")
    {
        Served s;
        s.server.SetModesAfter(2, HttpServer::kIgnoreRange);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(ReadOn(file, 0, 100000, &last) == kSize);
        CHECK(last == 0);
        CHECK(s.Requests() == 3);
        CHECK(file.Seek(100, 0) == 100);
        CHECK(ReadAndCheck(file, 100, 1000) == 1000);
        CHECK(file.Seek(2000000, 0) == 2000000);
        CHECK(ReadAndCheck(file, 2000000, 70000) == 70000);
        CHECK(s.Requests() == 4);   // the forward seek skipped on the whole body
    }
    SUBCASE("416 for a window within a file of known size: a failure")
    {
        Served s;
        s.server.SetModesAfter(1, HttpServer::kRefuseRanges);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(ReadOn(file, 0, 100000, &last) == kWindowEnd);
        CHECK(last == -1);
        CHECK(file.LastError() == ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
    SUBCASE("416 with \"bytes */SIZE\" for a window within a file of untold size: a failure, not its end")
    {
        Served s(HttpServer::kNoLength, 700000);
        s.server.SetModesAfter(1, HttpServer::kNoLength | HttpServer::kRefuseRanges);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(ReadOn(file, 0, 100000, &last) == kWindowEnd);
        CHECK(last == -1);
        CHECK(file.LastError() == ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
}

TEST_CASE("an empty URL opens with size 0; a 416 at the open that tells a size above 0 does not open")
{
    for (const unsigned modes : {unsigned(HttpServer::kNormal), unsigned(HttpServer::kIgnoreRange)}) {
        CAPTURE(modes);   // 416 "bytes */0", or 200 with no body
        Served s(modes, 0);
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(s.url).c_str()));
        CHECK(file.Size() == 0);
        CHECK(ReadAndCheck(file, 0, 1000) == 0);
        CHECK(file.Seek(0, 2) == 0);
        CHECK(file.Seek(10, 0) == 10);
        CHECK(ReadAndCheck(file, 10, 1000) == 0);
        CHECK(s.Requests() == 1);
    }
    Served refusing(HttpServer::kRefuseRanges, 5000);
    CInternetFileInterface file;
    CHECK_FALSE(file.Open(Wire(refusing.url).c_str()));
    CHECK(file.LastError() == ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST_CASE("httpserve serves a file from disk at the address it prints")
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"pyx serve " + std::to_wstring(GetCurrentProcessId()) + L".avi";
    constexpr uint32_t kDiskSize = 700000;
    {
        std::ofstream out(path.c_str(), std::ios::binary);
        const auto bytes = Pattern(kDiskSize);
        out.write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    wintest::Process serve;
    REQUIRE(serve.Start(L"\"" + wintest::ExeFolder() + L"..\\loopback\\httpserve.exe\" --file \"" + path +
                        L"\" --seconds 60"));
    REQUIRE(serve.WaitForOutput("\n", 10000));
    const std::string line = serve.Output();
    const std::string prefix = "httpserve: serving http://127.0.0.1:";
    REQUIRE(line.compare(0, prefix.size(), prefix) == 0);
    std::string url = line.substr(std::string("httpserve: serving ").size());
    url = url.substr(0, url.find_first_of("\r\n"));
    CHECK(url.find("/pyx%20serve%20") != std::string::npos);

    {
        CInternetFileInterface file;
        REQUIRE(file.Open(Wire(url).c_str()));
        CHECK(file.Seek(0, 2) == static_cast<long>(kDiskSize));
        CHECK(file.Seek(400000, 0) == 400000);
        CHECK(ReadAndCheck(file, 400000, 300000) == 300000);
        CHECK(ReadAndCheck(file, kDiskSize, 10) == 0);
        CHECK(file.Seek(5, 0) == 5);
        CHECK(ReadAndCheck(file, 5, 100) == 100);
    }
    serve.Kill();
    DeleteFileW(path.c_str());
}
