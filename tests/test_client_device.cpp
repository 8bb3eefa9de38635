// Whole sessions: the control thread in a test host, the client emulator as
// the client device, every byte of every file checked.
#include "doctest.h"

#include "server_test_util.h"

#include "client_device.h"
#include "control_host.h"
#include "file_rpc.h"
#include "file_rpc_process.h"
#include "http_server.h"
#include "protocol.h"
#include "server_globals.h"
#include "win_test_util.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

using loopback::ClientDevice;
using loopback::DeviceOptions;
using loopback::DeviceSummary;
using wintest::TempFile;

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
        g_dwChunking = 1;
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
        g_dwChunking = 1;
        g_dwMaxBlockKB = 0;
        g_dwTargetRate = 0;
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

} // namespace

TEST_CASE("ICA session: ten files at once through the hand-off, streams, malformed messages dropped")
{
    Session s(true);
    DeviceOptions o;
    o.chunking = 0;   // ignored on ICA: replies are still chunked
    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(o, &error), error);
    CHECK(g_dwChunking == 1);

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

    // A missing file is refused with the C library's error.
    DeviceOptions missing;
    missing.files.push_back({L"C:\\no\\such\\clip.avi", {}});
    missing.expectOpenFail = true;
    DeviceSummary refused = s.device.Run(missing);
    REQUIRE(refused.reports.size() == 1);
    CHECK(refused.ok);
    CHECK(refused.reports[0].systemError == ENOENT);
    CHECK(s.device.StrayMessages() == 0);
}

TEST_CASE("RDP session: data channels pyx00 ... pyx09, chunking off, 128 KiB reads")
{
    Session s(false);
    DeviceOptions o;
    o.chunking = 0;
    std::string error;
    REQUIRE_MESSAGE(s.device.Handshake(o, &error), error);
    CHECK(g_dwChunking == 0);

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
    const auto send = loopback::MakeSendParams(0, 0, 0, 1);
    loopback::ReceivedMessage reply;
    REQUIRE(s.device.Call(ClientDevice::kControl, send, &reply, 5000));
    CHECK(g_dwChunking == 1);
    DeviceSummary chunked = s.Run(again);
    CHECK(chunked.chunked == chunked.requests - 1);   // all but the empty read at the end
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
