// Whole sessions: the control thread in a test host, the client emulator as
// the client device, every byte of every file checked.
#include "doctest.h"

#include "server_test_util.h"

#include "client_device.h"
#include "control_host.h"
#include "file_rpc_win.h"
#include "file_rpc_process.h"
#include "http_server.h"
#include "protocol.h"
#include "ica_share_win.h"
#include "win_test_util.h"
#include "handle_win.h"

#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using loopback::ClientDevice;
using loopback::DeviceOptions;
using loopback::DeviceSummary;
using wintest::TempFile;
using wintest::WaitUntil;

namespace {

struct Session
{
    wintest::BoxWatcher boxes;
    ClientDevice device;
    CControlHost host;
    std::vector<std::string> lines;

    explicit Session(bool ica) : device(ica)
    {
        REQUIRE(InitServerGlobals());
        if (ica)
            REQUIRE(wintest::EnsureService(L"HalvernService"));
        else
            UseRdpSessionOps();
        device.m_log = [this](const std::string &line) { lines.push_back(line); };
        std::string error;
        REQUIRE_MESSAGE(device.Start(&error), error);
        REQUIRE(host.Start());
    }
    ~Session()
    {
        CHECK(host.Stop());
        CHECK(SlotsFree());
        CHECK(boxes.Texts().empty());
        device.Stop();
        UsePlatformSessionOps();
        wintest::RemoveService(L"HalvernService");
    }

    DeviceSummary Run(const DeviceOptions &options)
    {
        DeviceSummary s = device.Run(options);
        for (const auto &r : s.reports)
            CAPTURE(r.Line());
        INFO(s.Line());
        for (const auto &r : s.reports)
            CHECK_MESSAGE(r.ok, r.Line());
        CHECK(s.ok);
        return s;
    }
};

DeviceOptions Files(const std::vector<const TempFile *> &files, int parallel = 1)
{
    DeviceOptions o;
    for (const TempFile *f : files)
        o.files.push_back({f->Path(), {}});
    o.parallel = parallel;
    o.timeoutMs = 15000;
    return o;
}

// A stand-in library beside the test, loaded as the programs load it.
class StandIn
{
public:
    explicit StandIn(const wchar_t *name) : m_hModule(LoadLibraryW((wintest::ExeFolder() + name).c_str())) {}
    ~StandIn() { FreeLibrary(m_hModule); }
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

    template <class F>
    F Get(const char *name) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m_hModule, name)));
    }
    // The connect state through `query` (WTS or WF); -1 when it fails.
    int ConnectState(const char *query, const char *release) const
    {
        LPWSTR buffer = nullptr;
        DWORD bytes = 0;
        if (!Get<BOOL(WINAPI *)(HANDLE, DWORD, int, LPWSTR *, DWORD *)>(query)(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                                              WTSConnectState, &buffer, &bytes))
            return -1;
        const int state = bytes == 4 ? *reinterpret_cast<const int *>(buffer) : -1;
        Get<VOID(WINAPI *)(PVOID)>(release)(buffer);
        return state;
    }

private:
    HMODULE m_hModule;
};

// The next session change posted to a window of this thread.
bool WaitSessionChange(HWND window, DWORD timeoutMs, MSG *out)
{
    return WaitUntil([&] { return PeekMessageW(out, window, WM_WTSSESSION_CHANGE, WM_WTSSESSION_CHANGE, PM_REMOVE) != 0; },
                     timeoutMs);
}

} // namespace

TEST_CASE("ICA session: ten files at once through the hand-off, streams, malformed messages dropped")
{
    Session s(true);
    DeviceOptions o;
    o.chunking = 0;   // ignored on ICA: replies are still chunked
    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(o, &error), error);

    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<const TempFile *> list;
    for (uint32_t i = 0; i < 10; ++i) {
        files.push_back(std::make_unique<TempFile>(150000 + 37 * i, L"pyx_dev"));
        list.push_back(files.back().get());
    }
    DeviceOptions all = Files(list, 10);
    all.seed = 3;
    all.malformed = true;
    DeviceSummary sum = s.Run(all);
    CHECK(sum.files == 10);
    CHECK(sum.bytes >= 10 * 150000u);
    CHECK(sum.chunked >= 30);   // data replies over 2044 bytes come in chunks
    CHECK(sum.chunkErrors == 0);
    CHECK(SlotsFree());

    // Streams: FDOP, FRED, FSEK and FTEL, closed with FCLO.
    DeviceOptions streams = Files({list[0], list[1]}, 2);
    streams.stream = true;
    streams.requestSize = 40000;
    streams.seed = 11;
    s.Run(streams);

    // URLs of a local HTTP server, read alongside a local file, positioned
    // by ranged requests; streams are not made for them.
    loopback::HttpServer http;
    http.AddFileOnDisk("/clip one.avi", list[2]->Path());
    http.AddFileOnDisk("/clip two.avi", list[3]->Path());
    REQUIRE(http.Start());
    DeviceOptions urls;
    urls.files = {{wintest::Widen(http.Url("/clip one.avi")), list[2]->Path()},
                  {wintest::Widen(http.Url("/clip two.avi")), list[3]->Path()},
                  {list[4]->Path(), {}}};
    urls.seed = 21;
    urls.requestSize = 8192;
    urls.timeoutMs = 15000;
    DeviceSummary web = s.Run(urls);
    CHECK(web.reports[0].fileDesc != web.reports[1].fileDesc);
    bool ranged = false;
    for (const auto &r : http.Requests())
        ranged = ranged || !r.range.empty();
    CHECK(ranged);
    http.Stop();

    // Refusals carry the errno the C runtime's open gave: a missing file,
    // a name no file can have (a wildcard: ERROR_INVALID_NAME), a file open
    // elsewhere without sharing (ERROR_SHARING_VIOLATION).
    const std::wstring folder = list[5]->Path().substr(0, list[5]->Path().find_last_of(L'\\') + 1);
    CHandle locked(CreateFileW(list[5]->Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    REQUIRE(locked);
    DeviceOptions refusedOpens;
    refusedOpens.files = {{L"C:\\no\\such\\clip.avi", {}}, {folder + L"a?.avi", {}}, {list[5]->Path(), {}}};
    refusedOpens.expectOpenFail = true;
    DeviceSummary refused = s.device.Run(refusedOpens);
    REQUIRE(refused.reports.size() == 3);
    CHECK(refused.ok);
    CHECK(refused.reports[0].systemError == ENOENT);
    CHECK(refused.reports[1].systemError == EINVAL);
    CHECK(refused.reports[2].systemError == EACCES);
    CHECK(s.device.StrayMessages() == 0);
}

TEST_CASE("RDP session: data channels pyx00 ... pyx09, chunking off, 128 KiB reads")
{
    Session s(false);
    DeviceOptions o;
    o.chunking = 0;
    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(o, &error), error);

    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<const TempFile *> list;
    for (uint32_t i = 0; i < 10; ++i) {
        files.push_back(std::make_unique<TempFile>(400000 + 4096 * i, L"pyx_dev"));
        list.push_back(files.back().get());
    }
    DeviceOptions all = Files(list, 10);
    all.requestSize = 131072;
    all.seed = 5;
    all.malformed = true;
    DeviceSummary sum = s.Run(all);
    CHECK(sum.chunked == 0);
    std::vector<int> channels;
    for (const auto &r : sum.reports)
        channels.push_back(r.channel);
    std::sort(channels.begin(), channels.end());
    CHECK(channels == std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9});

    // Chunking back on with a new SEND: every data reply over 1600 bytes
    // comes in chunks again.
    DeviceOptions again = Files({list[0]});
    again.seed = 0;
    const auto send = BuildSendParams(0, 0, 0, 1, 0);
    loopback::ReceivedMessage reply;
    REQUIRE(s.device.Call(ClientDevice::kControl, send, &reply, 5000));
    DeviceSummary chunked = s.Run(again);
    CHECK(chunked.chunked == chunked.requests - 1);   // all but the empty read at the end
}

TEST_CASE("an OPEN of a URL whose server trickles its headers is answered with 12002 after 20 s; an open file "
          "is served meanwhile, and the next OPEN is answered")
{
    // The Win32 wait of the control thread for the open's own thread, with
    // its deadline counted from the OPEN's arrival.
    Session s(false);
    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(DeviceOptions{}, &error), error);
    constexpr uint32_t kKeptSize = 1 << 20;
    TempFile kept(kKeptSize, L"pyx_dev");
    std::vector<unsigned char> keptBytes(kKeptSize);
    for (uint32_t i = 0; i < kKeptSize; ++i)
        keptBytes[i] = wintest::PatternByte(i);
    loopback::FileReport served;
    REQUIRE(s.device.RequestOpen(kept.Path(), &served, 5000));
    REQUIRE(served.fileDesc != -1);

    loopback::HttpServer slow;
    slow.AddFile("/slow.avi", std::vector<unsigned char>(100000, 7));
    slow.SetModes(loopback::HttpServer::kTrickleHeaders);
    REQUIRE(slow.Start());
    loopback::FileReport hung;
    std::atomic<bool> answered{false};
    bool replied = false;
    const DWORD sent = GetTickCount();
    DWORD took = 0;
    std::thread opener([&] {
        replied = s.device.RequestOpen(wintest::Widen(slow.Url("/slow.avi")), &hung, 60000);
        took = GetTickCount() - sent;
        answered = true;
    });

    // The open file's worker answers on its own channel all the while, each
    // read promptly (generously bounded for a loaded machine).
    uint32_t reads = 0, at = 0;
    DWORD slowest = 0;
    while (!answered && GetTickCount() - sent < 60000) {
        const DWORD asked = GetTickCount();
        int32_t got = 0;
        if (!s.device.RequestRead(&served, keptBytes.data(), kKeptSize, at, 65536, true, &got, 10000)) {
            FAIL_CHECK(served.error);
            break;
        }
        CHECK(got == static_cast<int32_t>(std::min<uint32_t>(65536, kKeptSize - at)));
        slowest = std::max(slowest, GetTickCount() - asked);
        at = (at + 65536) % kKeptSize;
        ++reads;
        Sleep(100);
    }
    opener.join();
    INFO("reads=" << reads << " slowest=" << slowest << " ms, OPEN answered after " << took << " ms");
    CHECK(served.mismatches == 0);
    CHECK(reads >= 20);
    CHECK(slowest < 5000);
    REQUIRE(replied);
    CHECK(hung.fileDesc == -1);
    CHECK(hung.extendedError == 0);
    CHECK(hung.systemError == 12002);
    CHECK(took >= 19500);
    CHECK(took < 40000);

    // The control thread is free again at once; the given-up open lets go of
    // its slot once the server is gone and its call returns.
    loopback::FileReport next;
    const DWORD asked = GetTickCount();
    REQUIRE(s.device.RequestOpen(kept.Path(), &next, 5000));
    CHECK(next.fileDesc != -1);
    CHECK(GetTickCount() - asked < 3000);
    CHECK(s.device.RequestClose(&next, PYXMSG_RPC_CLOSE, static_cast<uint32_t>(next.fileDesc), 0, 5000));
    CHECK(s.device.RequestClose(&served, PYXMSG_RPC_CLOSE, static_cast<uint32_t>(served.fileDesc), 0, 5000));
    slow.Stop();
    CHECK(WaitUntil([] { return SlotsFree(); }, 20000));
    CHECK(s.device.StrayMessages() == 0);
}

TEST_CASE("the emulator program against the control-thread host program")
{
    wintest::BoxWatcher boxes;
    TempFile a(700000, L"pyx_prog"), b(300001, L"pyx_prog");
    const std::wstring dir = wintest::ExeFolder();
    const std::wstring loopbackDir = dir.substr(0, dir.find_last_of(L"\\/", dir.size() - 2) + 1) + L"loopback\\";

    for (const bool rdp : {true, false}) {
        CAPTURE(rdp);
        if (!rdp)
            REQUIRE(wintest::EnsureService(L"HalvernService"));
        wintest::Process client;
        REQUIRE(client.Start(L"\"" + loopbackDir + L"pyxclient.exe\" --protocol " + (rdp ? L"rdp" : L"ica") +
                             L" --file \"" + a.Path() + L"\" --file \"" + b.Path() +
                             L"\" --parallel 4 --request-size 65536 --seed 0 --timeout-ms 15000"));
        REQUIRE(client.WaitForOutput("pyxclient: listening", 10000));
        wintest::Process host;
        REQUIRE(host.Start(L"\"" + dir + L"pyx_control_host.exe\"" + (rdp ? L" --rdp" : L"") + L" --seconds 60"));
        DWORD code = 99;
        REQUIRE(client.Wait(60000, &code));
        INFO(client.Output());
        CHECK(code == 0);
        CHECK(client.Output().find("summary: files=4 bytes=2000002 ") != std::string::npos);
        CHECK(client.Output().find("result=ok") != std::string::npos);
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"PyxControlHostExit");
        REQUIRE(stop);
        SetEvent(stop);
        CloseHandle(stop);
        CHECK(host.Wait(10000, &code));
        CHECK(code == 0);
        wintest::RemoveService(L"HalvernService");
    }
    CHECK(boxes.Texts().empty());
}

TEST_CASE("a roam: registered windows are told once the session reads disconnected and the channels are closed, "
          "then connected; the files go on in the new session")
{
    Session s(false);
    StandIn wts(L"Wtsapi32.dll"), wf(L"wfapi.dll");
    const auto registerWindow = wts.Get<BOOL(WINAPI *)(HWND, DWORD)>("WTSRegisterSessionNotification");
    const auto unregisterWindow = wts.Get<BOOL(WINAPI *)(HWND)>("WTSUnRegisterSessionNotification");
    const auto openChannel = wts.Get<HANDLE(WINAPI *)(HANDLE, DWORD, LPSTR)>("WTSVirtualChannelOpen");
    const auto readChannel = wts.Get<BOOL(WINAPI *)(HANDLE, ULONG, PCHAR, ULONG, PULONG)>("WTSVirtualChannelRead");
    const auto closeChannel = wts.Get<BOOL(WINAPI *)(HANDLE)>("WTSVirtualChannelClose");
    REQUIRE((registerWindow && unregisterWindow && openChannel && readChannel && closeChannel));
    const auto state = [&] { return wts.ConnectState("WTSQuerySessionInformationW", "WTSFreeMemory"); };
    const auto stateWf = [&] { return wf.ConnectState("WFQuerySessionInformationW", "WFFreeMemory"); };
    const auto openPlayerChannel = [&] {
        return openChannel(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, const_cast<LPSTR>(kRdpPlayerChannelName));
    };

    HWND told = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    HWND untold = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    REQUIRE((told && untold));
    CHECK(registerWindow(told, NOTIFY_FOR_THIS_SESSION));
    CHECK_FALSE(registerWindow(nullptr, NOTIFY_FOR_THIS_SESSION));
    CHECK(GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(state() == WTSActive);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);

    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(DeviceOptions{}, &error), error);
    TempFile a(3000000, L"pyx_roam"), b(2000007, L"pyx_roam");
    DeviceOptions o = Files({&a, &b}, 2);
    o.requestSize = 4096;   // about 1.5 s for both: the roam comes in the middle
    o.seed = 3;
    o.roamAfterSeconds = 0.3;
    o.roamGapSeconds = 1;
    HANDLE channel = openPlayerChannel();
    REQUIRE(channel);
    DeviceSummary sum;
    std::thread run([&] { sum = s.device.Run(o); });

    // No REQUIRE until the run is joined.
    MSG m{};
    CHECK(WaitSessionChange(told, 10000, &m));
    CHECK(m.wParam == WTS_REMOTE_DISCONNECT);
    CHECK(m.lParam == static_cast<LPARAM>(session));
    CHECK(state() == WTSDisconnected);
    CHECK(stateWf() == WTSDisconnected);
    char buffer[64];
    ULONG n = 1;
    CHECK_FALSE(readChannel(channel, 2000, buffer, sizeof buffer, &n));
    CHECK(GetLastError() != WAIT_TIMEOUT);
    CHECK(n == 0);
    closeChannel(channel);

    m = MSG{};
    CHECK(WaitSessionChange(told, 10000, &m));
    CHECK(m.wParam == WTS_REMOTE_CONNECT);
    CHECK(state() == WTSActive);
    CHECK(stateWf() == WTSActive);
    channel = openPlayerChannel();
    CHECK(channel);
    closeChannel(channel);
    // The server's part: a fresh control thread, which solicits again.
    CHECK(s.host.Stop());
    CHECK(s.host.Start());
    run.join();

    CHECK_FALSE(PeekMessageW(&m, untold, WM_WTSSESSION_CHANGE, WM_WTSSESSION_CHANGE, PM_REMOVE));
    CHECK(unregisterWindow(told));
    CHECK(GetPropW(told, L"TarselSessionNotify") == nullptr);
    DestroyWindow(told);
    DestroyWindow(untold);

    INFO(sum.Line());
    CHECK(sum.ok);
    CHECK(sum.reconnects == 1);
    CHECK(sum.Line().substr(sum.Line().rfind(' ')) == " reconnects=1");
    CHECK(sum.firstByteAfterReconnectMs >= 0);
    uint32_t reopens = 0;
    for (const auto &r : sum.reports) {
        CHECK_MESSAGE(r.ok, r.Line());
        reopens += r.reopens;
    }
    CHECK(reopens >= 1);
    CHECK(sum.reports[0].bytes >= 3000000u);
    CHECK(sum.reports[1].bytes >= 2000007u);
    std::string log;
    for (const auto &line : s.lines)
        log += line + "\n";
    CHECK(log.find("pyxclient: disconnected at ms=") != std::string::npos);
    CHECK(log.find("pyxclient: reconnected at ms=") != std::string::npos);
    CHECK(log.find("pyxclient: first byte ") != std::string::npos);
}
