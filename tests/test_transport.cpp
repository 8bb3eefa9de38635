// Channel classes over the loopback platform: real pipes, real threads.
#include "doctest.h"

#include "api_sets_win.h"
#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "protocol.h"
#include "vc_server.h"
#include "win_test_util.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;

namespace {

constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);

struct Bound
{
    Bound() { BindApiFunctions(); }
};

std::vector<unsigned char> MakeMessage(uint32_t length, uint32_t seed)
{
    std::vector<unsigned char> m(length);
    for (uint32_t i = 0; i < length; ++i)
        m[i] = static_cast<unsigned char>(i * 13 + seed);
    MessageHeader h{};
    h.dwMessageType = PYXMSG_RPC_READ;
    h.dwMessageDataSize = length - 32;
    h.dwPSN = seed;
    h.dwChannelNumber = 1;
    StoreHeader(m.data(), h);
    return m;
}

void CheckRoundTrip(CChannelIO &channel, ChannelServer &server, uint32_t length, uint32_t expectedChunks)
{
    CAPTURE(length);
    auto msg = MakeMessage(length, length & 0xFF);
    const auto original = msg;
    uint32_t written = 0;
    REQUIRE(channel.WriteMessage(msg.data(), length, &written));
    CHECK(written == length);
    ReceivedMessage got;
    REQUIRE(server.Receive(&got, 5000));
    CHECK(got.chunks == expectedChunks);
    REQUIRE(got.bytes.size() == original.size());
    CHECK(std::equal(got.bytes.begin() + 32, got.bytes.end(), original.begin() + 32));
    CHECK(MessageDataSize(got.bytes.data()) == length - 32);
}

} // namespace

TEST_CASE("both function sets resolve from the stand-in libraries")
{
    Bound b;
    CHECK(IsRdpApiLoaded());
    CHECK(IsIcaApiLoaded());
}

TEST_CASE("RDP channel: open, chunked writes, read, close")
{
    Bound b;
    ChannelServer server("t-rdp", 1);
    REQUIRE(server.Start());
    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRdpChannelIO channel;
    REQUIRE(channel.OpenChannel(nullptr, kCurrentSession, "t-rdp", reinterpret_cast<uintptr_t>(exitEvent)));
    REQUIRE(server.WaitConnected(1, 5000));

    CheckRoundTrip(channel, server, 1599, 0);
    CheckRoundTrip(channel, server, 1600, 1);
    CheckRoundTrip(channel, server, 3000, 2);
    CheckRoundTrip(channel, server, 5000, 4);
    CheckRoundTrip(channel, server, 131072, 84);
    CHECK(server.ChunkErrors() == 0);

    auto reply = MakeMessage(700, 9);
    REQUIRE(server.Send(reply.data(), 700));
    std::vector<unsigned char> buf(kMessageBufferSize);
    uint32_t n = 0;
    REQUIRE(channel.ChannelRead(buf.data(), kMessageBufferSize, &n));
    CHECK(n == 700);
    CHECK(std::equal(reply.begin(), reply.end(), buf.begin()));

    CHECK(channel.CloseChannel() != 0);
    CHECK(channel.ChannelHandle() == nullptr);
    CHECK(channel.CloseChannel() == 0);
    CloseHandle(exitEvent);
}

TEST_CASE("ICA channel: chunks of 2044, timed read, close")
{
    Bound b;
    ChannelServer server("t-ica", 1);
    REQUIRE(server.Start());
    CIcaChannelIO channel;
    REQUIRE(channel.OpenChannel(nullptr, kCurrentSession, "t-ica", 300));
    REQUIRE(server.WaitConnected(1, 5000));
    CheckRoundTrip(channel, server, 2043, 0);
    CheckRoundTrip(channel, server, 3000, 2);
    CheckRoundTrip(channel, server, 5000, 3);
    CheckRoundTrip(channel, server, 131072, 66);

    std::vector<unsigned char> buf(4096);
    uint32_t n = 77;
    const auto start = std::chrono::steady_clock::now();
    CHECK_FALSE(channel.ChannelRead(buf.data(), 4096, &n));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    CHECK(n == 0);
    CHECK(ms >= 250);
    CHECK(ms < 2000);
    MESSAGE("ICA read time-out of 300 ms returned after " << ms << " ms");
    CHECK(channel.CloseChannel() != 0);
}

TEST_CASE("the exit event ends a waiting RDP read at once")
{
    Bound b;
    ChannelServer server("t-cancel", 1);
    REQUIRE(server.Start());
    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRdpChannelIO channel;
    REQUIRE(channel.OpenChannel(nullptr, kCurrentSession, "t-cancel", reinterpret_cast<uintptr_t>(exitEvent)));
    std::vector<unsigned char> buf(kMessageBufferSize);

    double worst = 0;
    for (int round = 0; round < 5; ++round) {
        ResetEvent(exitEvent);
        std::chrono::steady_clock::time_point signalled;
        std::thread setter([&] {
            Sleep(150);
            signalled = std::chrono::steady_clock::now();
            SetEvent(exitEvent);
        });
        uint32_t n = 99;
        const bool ok = channel.ChannelRead(buf.data(), kMessageBufferSize, &n);
        const auto returned = std::chrono::steady_clock::now();
        setter.join();
        CHECK_FALSE(ok);
        CHECK(n == 0);
        const double ms = std::chrono::duration<double, std::milli>(returned - signalled).count();
        worst = ms > worst ? ms : worst;
    }
    MESSAGE("exit-event cancel latency, worst of 5: " << worst << " ms");
    CHECK(worst < 100);

    // The channel still works after a cancelled read.
    ResetEvent(exitEvent);
    auto msg = MakeMessage(100, 3);
    REQUIRE(server.Send(msg.data(), 100));
    uint32_t n = 0;
    REQUIRE(channel.ChannelRead(buf.data(), kMessageBufferSize, &n));
    CHECK(n == 100);
    channel.CloseChannel();
    CloseHandle(exitEvent);
}

TEST_CASE("opening without an exit event, or a channel nobody listens on")
{
    Bound b;
    ChannelServer server("t-noexit", 1);
    REQUIRE(server.Start());
    CRdpChannelIO channel;
    CHECK_FALSE(channel.OpenChannel(nullptr, kCurrentSession, "t-noexit", 0));
    CHECK(channel.ChannelHandle() == nullptr);
    Sleep(200);
    CHECK(server.ConnectedCount() == 0);

    HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRdpChannelIO missing;
    CHECK_FALSE(missing.OpenChannel(nullptr, kCurrentSession, "t-nobody", reinterpret_cast<uintptr_t>(exitEvent)));
    CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);
    CIcaChannelIO ica;
    CHECK_FALSE(ica.OpenChannel(nullptr, kCurrentSession, "t-nobody", 100));
    CHECK(CRdpChannelIO().CloseChannel() == 0);
    CHECK(CIcaChannelIO().CloseChannel() == 0);
    CloseHandle(exitEvent);
}

namespace {

std::vector<std::pair<std::wstring, DWORD>> g_loads;

} // namespace

TEST_CASE("libraries come from the program's folder and the system folder, never the current folder")
{
    const std::wstring probe = wintest::ExeFolder() + L"tarselprobe.dll";
    const std::wstring planted = wintest::ExeFolder() + L"planted\\";
    CreateDirectoryW(planted.c_str(), nullptr);
    REQUIRE(CopyFileW((wintest::ExeFolder() + L"wfapi.dll").c_str(), (planted + L"tarselprobe.dll").c_str(), FALSE));
    DeleteFileW(probe.c_str());
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(planted.c_str());
    {
        // Only in the current folder: not loaded, by the search or the retry.
        ApiLibrary absent("tarselprobe.dll");
        CHECK(absent.Module() == nullptr);
        CHECK(std::string(absent.Name()) == "tarselprobe.dll");
    }
    REQUIRE(CopyFileW((planted + L"tarselprobe.dll").c_str(), probe.c_str(), FALSE));
    {
        // Beside the program: found by the search, under its own name.
        ApiLibrary library("tarselprobe.dll");
        REQUIRE(library.Module() != nullptr);
        CHECK(std::string(library.Name()) == "tarselprobe.dll");
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(library.Module(), path, MAX_PATH);
        CHECK(_wcsicmp(path, probe.c_str()) == 0);
    }
    // A system whose search finds nothing: the retry names the program's
    // folder in full, and the library keeps the ".\\" name.
    g_loads.clear();
    ApiLibrary::SetLoader([](LPCWSTR name, DWORD flags) -> HMODULE {
        g_loads.emplace_back(name, flags);
        return wcschr(name, L'\\') ? LoadLibraryExW(name, nullptr, flags) : nullptr;
    });
    {
        ApiLibrary library("tarselprobe.dll");
        CHECK(library.Module() != nullptr);
        CHECK(std::string(library.Name()) == ".\\tarselprobe.dll");
        REQUIRE(g_loads.size() == 2);
        CHECK(g_loads[0] == std::make_pair(std::wstring(L"tarselprobe.dll"),
                                           DWORD{LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32}));
        CHECK(_wcsicmp(g_loads[1].first.c_str(), probe.c_str()) == 0);
        // Loading again searches the bare name, never the relative ".\\" one.
        g_loads.clear();
        library.Load();
        REQUIRE_FALSE(g_loads.empty());
        CHECK(g_loads[0].first == L"tarselprobe.dll");
    }
    ApiLibrary::SetLoader(nullptr);
    SetCurrentDirectoryW(saved);
    DeleteFileW(probe.c_str());
}

TEST_CASE("a library lacking a function shows the box and ends the process with -1")
{
    wintest::BoxWatcher watcher(L"WFNoSuchFunction");
    wintest::Process child;
    REQUIRE(child.Start(L"\"" + wintest::ExeFolder() + L"missing_function.exe\"", wintest::ExeFolder().c_str()));
    DWORD code = 0;
    REQUIRE(child.Wait(20000, &code));
    CHECK(code == 0xFFFFFFFFu);
    const auto texts = watcher.Texts();
    REQUIRE(texts.size() == 1);
    CHECK(texts[0] == L"ERROR: cannot locate function name (as shown on title) from dll ...");
}

TEST_CASE("an open waits up to 2000 ms for a free instance; replies go to the earliest connected one")
{
    Bound b;
    ChannelServer server("t-busy", 1);
    REQUIRE(server.Start());
    CIcaChannelIO first;
    REQUIRE(first.OpenChannel(nullptr, kCurrentSession, "t-busy", 200));
    REQUIRE(server.WaitConnected(1, 5000));

    const auto start = std::chrono::steady_clock::now();
    CIcaChannelIO second;
    CHECK_FALSE(second.OpenChannel(nullptr, kCurrentSession, "t-busy", 200));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    CHECK(ms >= 1500);
    CHECK(ms < 4000);

    // Freed during the wait: the waiting open gets the instance.
    std::thread closer([&] {
        Sleep(300);
        first.CloseChannel();
    });
    CHECK(second.OpenChannel(nullptr, kCurrentSession, "t-busy", 200));
    closer.join();
    REQUIRE(server.WaitConnected(1, 5000));
    auto msg = MakeMessage(64, 4);
    REQUIRE(server.Send(msg.data(), 64));
    std::vector<unsigned char> buf(256);
    uint32_t n = 0;
    CHECK(second.ChannelRead(buf.data(), 256, &n));
    CHECK(n == 64);
    second.CloseChannel();

    ChannelServer many("t-many", 3);
    REQUIRE(many.Start());
    CIcaChannelIO a, c;
    REQUIRE(a.OpenChannel(nullptr, kCurrentSession, "t-many", 200));
    REQUIRE(many.WaitConnected(1, 5000));
    REQUIRE(c.OpenChannel(nullptr, kCurrentSession, "t-many", 200));
    REQUIRE(many.WaitConnected(2, 5000));
    REQUIRE(many.Send(msg.data(), 64));
    CHECK(a.ChannelRead(buf.data(), 256, &n));
    CHECK(n == 64);
    CHECK_FALSE(c.ChannelRead(buf.data(), 256, &n));
    a.CloseChannel();
    c.CloseChannel();
}
