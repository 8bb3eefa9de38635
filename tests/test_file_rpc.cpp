// File objects under Wine with the loopback platform: real data channels,
// real worker threads, real files.
#include "doctest.h"

#include "server_test_util.h"

#include "api_sets_win.h"
#include "checksum.h"
#include "file_rpc_win.h"
#include "http_server.h"
#include "ica_routing_win.h"
#include "notification.h"
#include "notify.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "trace.h"
#include "vc_server.h"
#include "handle_win.h"
#include "win_test_util.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;
using wintest::WaitUntil;

namespace {

using wintest::PatternByte;
using wintest::TempFile;


// The client's side of the RDP data channels "pyx00" ... "pyx09".
struct RdpClient
{
    std::vector<std::unique_ptr<ChannelServer>> channels;
    RdpClient()
    {
        BindApiFunctions();
        for (int i = 0; i < kDataChannelCount; ++i) {
            char name[8];
            RdpDataChannelName(i, name, sizeof name);
            channels.push_back(std::make_unique<ChannelServer>(name, 1));
            REQUIRE(channels.back()->Start());
        }
    }
    ~RdpClient()
    {
        // Nothing may be left in the table by a test.
        for (int i = 0; i < kDataChannelCount; ++i) {
            if (CFileObject *file = ClaimClassBySlot(i))
                file->DeallocateAndSetError(0, true);
        }
    }

    std::vector<unsigned char> Call(int slot, const std::vector<unsigned char> &request)
    {
        REQUIRE(channels[slot]->WaitConnected(1, 5000));
        REQUIRE(channels[slot]->Send(request.data(), static_cast<uint32_t>(request.size())));
        ReceivedMessage reply;
        REQUIRE(channels[slot]->Receive(&reply, 5000));
        REQUIRE(reply.bytes.size() >= 36);
        CHECK(LoadHeader(reply.bytes.data()).dwMessageType == LoadHeader(request.data()).dwMessageType);
        CHECK(LoadHeader(reply.bytes.data()).dwPSN == LoadHeader(request.data()).dwPSN);
        return reply.bytes;
    }
};

int32_t Word(const std::vector<unsigned char> &m, size_t at) { return LoadLE32s(m.data() + at); }

std::shared_ptr<CIcaShare> g_icaShare;   // while an IcaSession stands (below)

CFileRpc *Open(const std::wstring &name, CFileRpc::OpenOutcome *outcome, bool ica = false)
{
    CFileRpc *file = CreateInstance(ica ? SessionKind::Ica : SessionKind::Rdp, nullptr, g_icaShare);
    REQUIRE(file);
    if (file->FileRpcInit(name.c_str(), outcome))
        return file;
    file->DeallocateAndSetError(0, true);   // as the control thread does after replying
    return nullptr;
}

void Close(int32_t fd, int expected)
{
    CFileObject *file = ClaimClassByFileDescriptor(fd);
    REQUIRE(file);
    CHECK(CloseClaimedFile(file) == expected);
}

// Opens a URL of `http` whose download sends its headers and then nothing.
bool OpenStalledDownload(loopback::HttpServer &http, uint32_t size, CFileRpc::OpenOutcome *outcome, bool ica)
{
    std::vector<unsigned char> body(size);
    for (uint32_t i = 0; i < size; ++i)
        body[i] = PatternByte(i);
    http.AddFile("/stall.avi", body);
    http.SetModes(loopback::HttpServer::kStall);
    if (!http.Start())
        return false;
    const std::string url = http.Url("/stall.avi");
    return Open(std::wstring(url.begin(), url.end()), outcome, ica) != nullptr;
}

// Sequential READs of 64 KiB on channel 0 until `size` bytes came, every
// byte checked against the pattern; the bytes read.
uint32_t ReadToEnd(RdpClient &client, uint32_t fd, uint32_t size)
{
    uint32_t offset = 0;
    for (uint32_t psn = 1; offset < size; ++psn) {
        auto reply = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 65536, 0xFFFFFFFFu}, psn, 0));
        const int32_t got = Word(reply, 32);
        REQUIRE(got > 0);
        REQUIRE(reply.size() == 36u + static_cast<uint32_t>(got));
        for (int32_t i = 0; i < got; ++i)
            REQUIRE(reply[36 + i] == PatternByte(offset + i));
        offset += got;
    }
    return offset;
}

} // namespace

TEST_CASE("an RDP file object serves its file on its own data channel")
{
    RdpClient client;
    TempFile data(300000);
    CFileRpc::OpenOutcome outcome;
    CFileRpc *file = Open(data.Path(), &outcome);
    REQUIRE(file);
    CHECK(outcome.fileDescriptor >= 0);
    CHECK(outcome.channelNumber == 0);
    CHECK(outcome.extendedError == 0);
    const uint32_t fd = static_cast<uint32_t>(outcome.fileDescriptor);

    // Sequential reads of 64 KiB to the end, then the end of the file.
    CHECK(ReadToEnd(client, fd, 300000) == 300000);
    CHECK(Word(client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 100, 0xFFFFFFFFu}, 90, 0)), 32) == 0);

    // SEEK from the end, then a positioned read.
    CHECK(Word(client.Call(0, BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, static_cast<uint32_t>(-1000), 2}, 91, 0)), 32) == 299000);
    auto reply = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 10, 12345}, 92, 0));
    REQUIRE(Word(reply, 32) == 10);
    CHECK(reply[36] == PatternByte(12345));

    Close(static_cast<int32_t>(fd), 0);
    CHECK(SlotsFree());
    CHECK(data.IsClosedByServer());
}

TEST_CASE("a client's name of a pipe, a device or a console is refused as a missing file, without touching it")
{
    RdpClient client;
    // A pipe of this session, waiting for a client.
    const std::wstring pipeName = L"tarsel-probe-" + std::to_wstring(GetCurrentProcessId());
    CHandle pipe(CreateNamedPipeW((L"\\\\.\\pipe\\" + pipeName).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    REQUIRE(pipe);
    CHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.Get();
    CHECK_FALSE(ConnectNamedPipe(pipe.Get(), &overlapped));
    REQUIRE(GetLastError() == ERROR_IO_PENDING);

    // Refused on their text; the last is a device that opens (Wine's view of
    // the host's /dev/null), refused once it turns out to be no disk file.
    static std::atomic<int> s_nRefusals{0};
    SetTraceHook([](const wchar_t *text) {
        if (wcsstr(text, L"refused a name that is not a disk file"))
            ++s_nRefusals;
    });
    for (const std::wstring &name :
         {L"\\\\.\\pipe\\" + pipeName, L"//./pipe/" + pipeName, L"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\" + pipeName,
          L"\\\\.\\PIPE\\" + pipeName, std::wstring(L"NUL"), std::wstring(L"CON"), std::wstring(L"COM1.txt"),
          std::wstring(L"C:\\media\\conout$"), std::wstring(L"Z:\\dev\\null")}) {
        CAPTURE(wintest::Narrow(name));
        CFileRpc::OpenOutcome outcome;
        CHECK_FALSE(Open(name, &outcome));
        CHECK(outcome.fileDescriptor == -1);
        CHECK(outcome.extendedError == 0);
        CHECK(outcome.systemError == ENOENT);
    }
    SetTraceHook(nullptr);
    CHECK(s_nRefusals == 9);   // each with its log line
    CHECK(WaitForSingleObject(connected.Get(), 200) == WAIT_TIMEOUT);   // no client ever came
    CHECK(SlotsFree());
    CancelIo(pipe.Get());

    // A local file opens as before, and stays readable by others meanwhile.
    TempFile data(5000);
    CFileRpc::OpenOutcome outcome;
    REQUIRE(Open(data.Path(), &outcome));
    CHandle other(CreateFileW(data.Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    CHECK(other);
    auto reply = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(outcome.fileDescriptor), 5000, 0}, 1, 0));
    CHECK(Word(reply, 32) == 5000);
    Close(outcome.fileDescriptor, 0);
}

TEST_CASE("a broken data channel makes the worker tear its object down at once")
{
    RdpClient client;
    TempFile data(5000);
    CFileRpc::OpenOutcome outcome;
    REQUIRE(Open(data.Path(), &outcome));
    REQUIRE(client.channels[0]->WaitConnected(1, 5000));
    const DWORD start = GetTickCount();
    client.channels[0]->Stop();
    CHECK(WaitUntil([] { return SlotsFree(); }, 4000));
    CHECK(GetTickCount() - start < 2000);
    CHECK(WaitUntil([&] { return data.IsClosedByServer(); }, 2000));
    // Its descriptor is gone with it.
    CHECK(ClaimClassByFileDescriptor(outcome.fileDescriptor) == nullptr);
}

TEST_CASE("a close while a reply waits for a client that stopped reading: the write is cancelled and waited for")
{
    RdpClient client;
    TempFile data(12 << 20);
    CFileRpc::OpenOutcome outcome;
    REQUIRE(Open(data.Path(), &outcome));
    REQUIRE(client.channels[0]->WaitConnected(1, 5000));
    client.channels[0]->PauseReading(true);
    const uint32_t fd = static_cast<uint32_t>(outcome.fileDescriptor);
    for (uint32_t psn = 1; psn <= 2; ++psn) {
        const auto read = BuildWordsRequest(PYXMSG_RPC_READ, {fd, 4u << 20, 0xFFFFFFFFu}, psn, 0);
        REQUIRE(client.channels[0]->Send(read.data(), static_cast<uint32_t>(read.size())));
    }
    Sleep(500);   // the first reply fills the pipe; its write waits for a reader
    const DWORD start = GetTickCount();
    Close(outcome.fileDescriptor, 0);   // the worker stopped in time: its write ended before it left
    CHECK(GetTickCount() - start < 3000);
    CHECK(SlotsFree());
    CHECK(data.IsClosedByServer());
    client.channels[0]->PauseReading(false);
}

// --- broadcast notifications ------------------------------------------------

namespace {

std::vector<std::pair<uint32_t, int32_t>> g_notes;
UINT g_uNotify = 0;

LRESULT CALLBACK ListenerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == g_uNotify && message != 0) {
        g_notes.emplace_back(static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(5);
    }
}

} // namespace

TEST_CASE("a served file is announced to top-level windows in order, tagged with its name's checksum")
{
    RdpClient client;
    g_uNotify = RegisterWindowMessageW(kServerNotificationName);
    WNDCLASSW wc{};
    wc.lpfnWndProc = ListenerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PyxFileObjectListener";
    RegisterClassW(&wc);
    HWND listener = CreateWindowExW(0, wc.lpszClassName, L"listener", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                                    wc.hInstance, nullptr);
    REQUIRE(listener);
    SetNotificationSink(nullptr);
    g_notes.clear();

    TempFile data(1000, L"pyx_\u00e9t\u00e9_");
    const std::wstring &name = data.Path();
    const uint16_t crc = NameChecksum(reinterpret_cast<const WireChar *>(name.c_str()), name.size());
    CFileRpc::OpenOutcome outcome;
    REQUIRE(Open(name, &outcome));
    const uint32_t fd = static_cast<uint32_t>(outcome.fileDescriptor);
    client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 4096, 0xFFFFFFFFu}, 1, 0));
    Close(outcome.fileDescriptor, 0);
    Pump(500);

    const uint32_t tag = static_cast<uint32_t>(crc) << 16;
    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {tag | NOTIFY_FILE_OPENED, static_cast<int32_t>(fd & 0xFFFF)},
        {tag | (2u << 8) | NOTIFY_SEEK, 0},
        {tag | NOTIFY_FILE_SIZE, 1000},
        {tag | NOTIFY_SEEK, 0},
        {tag | NOTIFY_READ, 4096},
        {tag | NOTIFY_FILE_CLOSED, static_cast<int32_t>(fd)},
    };
    CHECK(g_notes == expected);
    DestroyWindow(listener);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

// --- ICA --------------------------------------------------------------------

namespace {

// The control thread's side of an ICA session: the shared channel, open on
// the emulator's "ZRBCHNL", published for the workers.
struct IcaSession
{
    ChannelServer zrb{kIcaChannelName, 4};
    CIcaChannelIO control;
    IcaSession()
    {
        BindApiFunctions();
        REQUIRE(InitServerGlobals());
        REQUIRE(zrb.Start());
        REQUIRE(control.OpenChannel(nullptr, static_cast<uint32_t>(-1), kIcaChannelName, 500));
        REQUIRE(static_cast<bool>(g_icaShare = MakeIcaShare()));
        g_icaShare->hChannel = static_cast<HANDLE>(control.ChannelHandle());
    }
    ~IcaSession()
    {
        g_icaShare.reset();
        control.CloseChannel();
    }
};

// The control thread's part: into its buffer, passed to the channel's worker.
bool Route(const std::vector<unsigned char> &request)
{
    std::copy(request.begin(), request.end(), g_icaShare->buffer);
    CWinIcaRouting routing(nullptr, *g_icaShare);
    return PassTheMessage(MessageChannel(request.data()), uint32_t(request.size()), routing, *g_icaShare);
}

} // namespace

TEST_CASE("ICA workers take routed requests from the control thread's buffer and answer on the shared channel")
{
    IcaSession session;
    ChannelServer &zrb = session.zrb;

    TempFile a(50000), b(70000);
    CFileRpc::OpenOutcome oa, ob;
    REQUIRE(Open(a.Path(), &oa, true));
    REQUIRE(Open(b.Path(), &ob, true));
    CHECK(oa.channelNumber == 0);
    CHECK(ob.channelNumber == 1);

    const auto route = Route;
    uint32_t got[2] = {0, 0};
    for (uint32_t psn = 1; psn <= 12; ++psn) {
        const int slot = static_cast<int>(psn % 2);
        const CFileRpc::OpenOutcome &o = slot ? ob : oa;
        REQUIRE(route(BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(o.fileDescriptor), 8000, 0xFFFFFFFFu}, psn, slot)));
        ReceivedMessage reply;
        REQUIRE(zrb.Receive(&reply, 5000));
        CHECK(MessageChannel(reply.bytes.data()) == slot);
        CHECK(LoadHeader(reply.bytes.data()).dwPSN == psn);
        CHECK(reply.chunks == 4);   // 8036 bytes in chunks of 2044
        REQUIRE(reply.bytes.size() == 8036);
        for (uint32_t i = 0; i < 8000; ++i)
            REQUIRE(reply.bytes[36 + i] == PatternByte(got[slot] + i));
        got[slot] += 8000;
    }
    CHECK(zrb.ChunkErrors() == 0);

    // Teardown: a close wakes its worker from the wait for the next
    // request (500 ms), so neither close waits that out.
    const DWORD teardown = GetTickCount();
    Close(oa.fileDescriptor, 0);
    Close(ob.fileDescriptor, 0);
    CHECK(GetTickCount() - teardown < 400);
    CHECK(SlotsFree());
}

TEST_CASE("an ICA worker left in a stalled read never answers on the shared channel once its teardown began")
{
    IcaSession session;
    loopback::HttpServer http;
    CFileRpc::OpenOutcome outcome;
    REQUIRE(OpenStalledDownload(http, 1 << 20, &outcome, true));
    REQUIRE(Route(BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(outcome.fileDescriptor), 1u << 20, 0}, 1, 0)));
    Sleep(500);   // the worker is inside the read

    // The control thread's end: a short budget, after which the worker is
    // left to finish on its own.
    CFileObject *file = ClaimClassBySlot(0);
    REQUIRE(file);
    const DWORD start = GetTickCount();
    file->RequestStop(GetTickCount64() + 300);
    file->DeallocateAndSetError(0, true);
    CHECK(GetTickCount() - start < 1500);
    CHECK(SlotsFree());
    http.Stop();   // the read returns: the reply it would make is not written
    ReceivedMessage late;
    CHECK_FALSE(session.zrb.Receive(&late, 1500));
}

// --- URLs -------------------------------------------------------------------

TEST_CASE("a URL is served on a data channel like a local file")
{
    RdpClient client;
    constexpr uint32_t kSize = 1200000;
    std::vector<unsigned char> bytes(kSize);
    for (uint32_t i = 0; i < kSize; ++i)
        bytes[i] = PatternByte(i);
    loopback::HttpServer http;
    http.AddFile("/clip.avi", bytes);
    http.AddFile("/empty.avi", {});
    REQUIRE(http.Start());
    const std::string url = http.Url("/clip.avi");

    CFileRpc::OpenOutcome outcome;
    CFileRpc *file = Open(std::wstring(url.begin(), url.end()), &outcome);
    REQUIRE(file);
    CHECK(outcome.channelNumber == 0);
    CHECK(outcome.extendedError == 0);
    CHECK(outcome.fileDescriptor != -1);
    const uint32_t fd = static_cast<uint32_t>(outcome.fileDescriptor);

    // Sequential reads to the end.
    CHECK(ReadToEnd(client, fd, kSize) == kSize);
    CHECK(Word(client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 100, 0xFFFFFFFFu}, 900, 0)), 32) == 0);

    // SEEK from the end, then reads that name their position, back and forth.
    CHECK(Word(client.Call(0, BuildWordsRequest(PYXMSG_RPC_SEEK, {fd, static_cast<uint32_t>(-5000), 2}, 901, 0)), 32) ==
          static_cast<int32_t>(kSize - 5000));
    uint32_t psn = 902;
    for (uint32_t position : {777777u, 10u, 600000u, kSize - 3}) {
        auto reply = client.Call(0, BuildWordsRequest(PYXMSG_RPC_READ, {fd, 20000, position}, psn++, 0));
        const int32_t got = Word(reply, 32);
        REQUIRE(got == static_cast<int32_t>(std::min<uint32_t>(20000, kSize - position)));
        REQUIRE(reply.size() == 36u + static_cast<uint32_t>(got));
        for (int32_t i = 0; i < got; ++i)
            REQUIRE(reply[36 + i] == PatternByte(position + i));
    }

    // An Internet source closes with 1.
    Close(outcome.fileDescriptor, 1);
    CHECK(SlotsFree());

    // An empty resource fails the size probe like an empty file.
    const std::string empty = http.Url("/empty.avi");
    CFileRpc::OpenOutcome none;
    CHECK_FALSE(Open(std::wstring(empty.begin(), empty.end()), &none));
    CHECK(none.fileDescriptor == -1);
    CHECK(none.extendedError == 0);
    CHECK(SlotsFree());
}

TEST_CASE("a URL that cannot be opened or sized reports the Internet library's error")
{
    RdpClient client;
    loopback::HttpServer http;
    http.AddFile("/live.avi", std::vector<unsigned char>(50000, 7));
    http.SetModes(loopback::HttpServer::kNoLength);
    REQUIRE(http.Start());

    auto open = [](const std::string &url) {
        CFileRpc::OpenOutcome outcome;
        CHECK_FALSE(Open(std::wstring(url.begin(), url.end()), &outcome));
        CHECK(outcome.fileDescriptor == -1);
        CHECK(outcome.channelNumber == 0);   // the slot it had taken
        CHECK(outcome.extendedError == 0);
        CHECK(SlotsFree());
        return outcome.systemError;
    };
    // No length: the size probe fails.
    CHECK(open(http.Url("/live.avi")) == ERROR_INTERNET_INVALID_OPERATION);
    CHECK(open(http.Url("/missing.avi")) == ERROR_FILE_NOT_FOUND);
    const uint16_t port = http.Port();
    http.Stop();
    CHECK(open("http://127.0.0.1:" + std::to_string(port) + "/live.avi") == ERROR_INTERNET_CANNOT_CONNECT);
}
