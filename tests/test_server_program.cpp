// The real PyxVideoServer.exe, started from a staging folder with the
// loopback platform beside it, driven as a user and a client device would:
// window messages to its windows, its tray callback, its boxes pressed, the
// client emulator on the channels.
#include "doctest.h"

#include "client_device.h"
#include "http_server.h"
#include "installation_guard.h"
#include "notify.h"
#include "pipe_io.h"
#include "program_stage.h"
#include "protocol.h"
#include "resource.h"
#include "settings.h"
#include "handle_win.h"
#include "session_notification_win.h"
#include "win_test_util.h"

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using loopback::ClientDevice;
using loopback::DeviceOptions;
using wintest::TempFile;
using wintest::RegText;
using wintest::WaitUntil;

namespace {

std::wstring StagedServer()
{
    const std::wstring stage = wintest::ExeFolder() + L"server_stage\\";
    REQUIRE(wintest::StageServer(stage));
    return stage;
}

struct Server
{
    wintest::Process process;
    bool Start(const std::wstring &stage, const std::wstring &args = L"", const std::wstring &folder = L"")
    {
        return process.Start(L"\"" + stage + L"PyxVideoServer.exe\"" + (args.empty() ? L"" : L" " + args),
                             (folder.empty() ? stage : folder).c_str());
    }
    bool Ended(DWORD ms, DWORD *code) { return process.Wait(ms, code); }
};

// The tray icon's right click, then an item of the menu that appears.
void TrayMenu(HWND dialog, bool exitItem)
{
    PostMessageW(dialog, WM_USER + 100, 4, WM_RBUTTONUP);
    HWND menu = nullptr;
    REQUIRE(WaitUntil([&] { return (menu = FindWindowW(L"#32768", nullptr)) != nullptr && IsWindowVisible(menu); },
                      5000));
    // "Settings" is the first item and the default; "Exit" the second.
    if (exitItem)
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
}

// Whether the notification area holds the server's icon (window, id 4):
// only an icon that exists can be modified.
bool TrayIconExists(HWND dialog)
{
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = dialog;
    nid.uID = 4;
    nid.uFlags = NIF_TIP;
    wcscpy(nid.szTip, L"Tarsel Service");
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

// A process's peak memory (private bytes and working set) and the most
// threads it had, sampled while it works.
class ProcessFigures
{
public:
    ProcessFigures(HANDLE process, DWORD pid) : m_process(process), m_pid(pid)
    {
        m_sampler = std::thread([this] {
            while (!m_stop) {
                const unsigned n = Threads();
                if (n > m_maxThreads)
                    m_maxThreads = n;
                Sleep(20);
            }
        });
    }
    ~ProcessFigures() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_sampler.joinable())
            m_sampler.join();
    }
    PROCESS_MEMORY_COUNTERS Memory() const
    {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(m_process, &counters, sizeof counters);
        return counters;
    }
    unsigned MaxThreads() const { return m_maxThreads; }

private:
    unsigned Threads() const
    {
        unsigned n = 0;
        const CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
            n += entry.th32OwnerProcessID == m_pid ? 1 : 0;
        return n;
    }
    HANDLE m_process;
    DWORD m_pid;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_maxThreads{0};
    std::thread m_sampler;
};

DeviceOptions FilesOf(const std::vector<std::unique_ptr<TempFile>> &files, int parallel)
{
    DeviceOptions o;
    for (const auto &f : files)
        o.files.push_back({f->Path(), {}});
    o.parallel = parallel;
    o.seed = 7;
    o.timeoutMs = 15000;
    return o;
}

} // namespace

TEST_CASE("a whole ICA session with the program; a second start; Kill Clients; the tray's Exit")
{
    wintest::BoxWatcher boxes;
    REQUIRE(wintest::EnsureService(L"HalvernService"));
    const std::wstring stage = StagedServer();
    wintest::InstallationValues installation(stage);
    ClientDevice device(true);
    std::string error;
    REQUIRE_MESSAGE(device.Start(&error), error);
    wintest::NotificationListener notes;

    Server server;
    REQUIRE(server.Start(stage));
    REQUIRE_MESSAGE(device.Handshake(DeviceOptions{}, &error), error);

    // Ten large files read at once in replies of the 4 MiB ceiling, every
    // byte checked. The server stays far from a 32-bit process's 2 GiB.
    std::vector<std::unique_ptr<TempFile>> files;
    for (uint32_t i = 0; i < 10; ++i)
        files.push_back(std::make_unique<TempFile>((6u << 20) + 1000 * i, L"pyx_e2e"));
    DeviceOptions large = FilesOf(files, 10);
    large.requestSize = 4u << 20;
    large.timeoutMs = 30000;
    ProcessFigures figures(server.process.Handle(), server.process.Pid());
    loopback::DeviceSummary sum = device.Run(large);
    figures.Stop();
    INFO(sum.Line());
    REQUIRE(sum.ok);
    CHECK(sum.files == 10);
    const PROCESS_MEMORY_COUNTERS memory = figures.Memory();
    std::printf("server, %d-bit, ten files of 6 MiB at once in 4 MiB replies: peak private bytes %.1f MB, "
                "peak working set %.1f MB, virtual %.1f MB, at most %u threads\n",
                static_cast<int>(8 * sizeof(void *)), memory.PeakPagefileUsage / 1e6, memory.PeakWorkingSetSize / 1e6,
                memory.PagefileUsage / 1e6, figures.MaxThreads());
    CHECK(figures.MaxThreads() >= 10);   // a worker a file, all at once
    CHECK(memory.PeakWorkingSetSize > 0);
    CHECK(memory.PeakWorkingSetSize < 100000000u);

    // A second start exits at once with code 0 and leaves the first serving.
    Server second;
    REQUIRE(second.Start(stage));
    DWORD code = 99;
    REQUIRE(second.Ended(10000, &code));
    CHECK(code == 0);
    CHECK(boxes.Texts().empty());
    std::vector<std::unique_ptr<TempFile>> one;
    one.push_back(std::make_unique<TempFile>(123457, L"pyx_e2e"));
    CHECK(device.Run(FilesOf(one, 1)).ok);

    // Kill Clients with a file open: the file is torn down and closed,
    // notification 7 is broadcast, the box says so, and the new thread asks
    // for the parameters again and serves the next OPEN.
    const auto open = BuildOpenRequest(one[0]->Path(), 0);
    loopback::ReceivedMessage reply;
    REQUIRE(device.Call(ClientDevice::kControl, open, &reply, 5000));
    REQUIRE(LoadLE32s(reply.bytes.data() + 32) >= 0);
    CHECK_FALSE(one[0]->IsClosedByServer());

    const HWND dialog = wintest::ServerDialog(server.process.Pid());
    REQUIRE(dialog);
    notes.Clear();
    PostMessageW(dialog, WM_COMMAND, IDC_KILL_CLIENTS, 0);
    CHECK(boxes.WaitFor(L"All clients disconnected. Server restarted.", 10000));
    CHECK(notes.WaitForCode(NOTIFY_SERVER_ENDED, 5000));
    CHECK(one[0]->IsClosedByServer());
    REQUIRE_MESSAGE(device.Handshake(DeviceOptions{}, &error), error);
    one[0] = std::make_unique<TempFile>(99999, L"pyx_e2e");
    CHECK(device.Run(FilesOf(one, 1)).ok);

    // The session roams in the middle of a read: the server asks the new
    // client for its parameters and the file is read on, every byte checked.
    // (2 MiB in 4 KiB reads outlast the first 0.2 s on a fast machine.)
    one[0] = std::make_unique<TempFile>(2u << 20, L"pyx_e2e");
    DeviceOptions roaming = FilesOf(one, 1);
    roaming.requestSize = 4096;
    roaming.roamAfterSeconds = 0.2;
    roaming.roamGapSeconds = 1;
    sum = device.Run(roaming);
    INFO(sum.Line());
    const std::string report = sum.reports.empty() ? std::string() : sum.reports[0].Line();
    INFO(report);
    CHECK(sum.ok);
    CHECK(sum.reconnects == 1);

    // A connect from a client without the client player (no channel to
    // open): no box, and the server waits for the next connect.
    device.Disconnect();
    {
        CHandle state(OpenEventW(EVENT_MODIFY_STATE, FALSE, loopback::kSessionDisconnectedEvent));
        REQUIRE(state);
        ResetEvent(state.Get());
    }
    PostMessageW(dialog, WM_WTSSESSION_CHANGE, 1 /* WTS_CONSOLE_CONNECT */, 0);
    Sleep(2000);
    CHECK(IsWindow(dialog));
    REQUIRE_MESSAGE(device.Reconnect(&error), error);
    REQUIRE_MESSAGE(device.Handshake(DeviceOptions{}, &error), error);
    CHECK(device.Run(FilesOf(one, 1)).ok);
    CHECK(boxes.Texts() == std::vector<std::wstring>{L"All clients disconnected. Server restarted."});

    // "Kill Clients" in a disconnected session shows no box: the gate is the
    // server's too. (Last: the thread it starts has no channel to serve.)
    device.Disconnect();
    notes.Clear();
    PostMessageW(dialog, WM_COMMAND, IDC_KILL_CLIENTS, 0);
    CHECK(notes.WaitForCode(NOTIFY_SERVER_ENDED, 10000));
    Sleep(3000);
    CHECK(boxes.Texts().size() == 1);

    // The tray menu's Exit ends the program, and its icon goes with it.
    CHECK(TrayIconExists(dialog));
    TrayMenu(dialog, true);
    REQUIRE(server.Ended(10000, &code));
    CHECK(code == 0);
    CHECK_FALSE(IsWindow(dialog));
    CHECK_FALSE(TrayIconExists(dialog));
    device.Stop();
    if (CHandle state{OpenEventW(EVENT_MODIFY_STATE, FALSE, loopback::kSessionDisconnectedEvent)})
        ResetEvent(state.Get());   // connected again for the cases that follow
    wintest::RemoveService(L"HalvernService");
}

TEST_CASE("the channel libraries come from the program's own folder, never from the current folder")
{
    wintest::BoxWatcher boxes;
    const std::wstring planted = wintest::ExeFolder() + L"server_planted\\";
    REQUIRE(wintest::PlantLibraries(planted));
    // With the libraries beside it and without, started from a folder that
    // holds copies of them, as a document's folder could.
    const std::wstring staged = StagedServer();
    const std::wstring bare = wintest::ExeFolder() + L"server_bare\\";
    CreateDirectoryW(bare.c_str(), nullptr);
    REQUIRE(CopyFileW((staged + L"PyxVideoServer.exe").c_str(), (bare + L"PyxVideoServer.exe").c_str(), FALSE));
    for (const std::wstring &stage : {staged, bare}) {
        CAPTURE(wintest::Narrow(stage));
        wintest::LibraryLoads loads;
        Server server;
        REQUIRE(server.Start(stage, L"", planted));
        REQUIRE(wintest::ServerDialog(server.process.Pid()));
        CHECK(wintest::StopServers());
        CHECK(loads.From(planted) == 0);
        CHECK(loads.From(stage) == (stage == staged ? 2u : 0u));
        CHECK(loads.Paths().size() == loads.From(stage));
    }
}

TEST_CASE("install: the dialog is shown, OK saves and exits, Cancel reloads and exits; a photograph of it")
{
    wintest::BoxWatcher boxes;
    wintest::RemoveService(L"HalvernService");
    const std::wstring stage = StagedServer();
    wintest::InstallationValues installation(stage);

    {
        Server server;
        REQUIRE(server.Start(stage, L"install"));
        HWND dialog = wintest::WaitForTopLevel(L"mc", 10000, server.process.Pid());
        REQUIRE(dialog);
        Sleep(300);   // let it paint
        const std::wstring out = wintest::BuildFolder() + L"test-output\\";
        CreateDirectoryW(out.c_str(), nullptr);
        CHECK(wintest::SaveWindowBitmap(dialog, out + L"settings_dialog_program.bmp"));

        // Start-up on and .mp3 associated, then OK.
        CHECK(IsDlgButtonChecked(dialog, IDC_STARTUP) == BST_UNCHECKED);
        SendMessageW(GetDlgItem(dialog, IDC_STARTUP), BM_CLICK, 0, 0);
        SendMessageW(GetDlgItem(dialog, IDC_EXT_MP3), BM_CLICK, 0, 0);
        wintest::PressButton(dialog, IDOK);
        DWORD code = 99;
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
        CHECK(RegText(HKEY_CURRENT_USER, wintest::kRunKeyPath, L"PYX") == stage + L"PyxVideoServer.exe");
        CHECK(RegText(HKEY_CLASSES_ROOT, L".mp3") == L"TarselFile");
    }
    {
        // Cancel: what was clicked is forgotten.
        Server server;
        REQUIRE(server.Start(stage, L"install"));
        HWND dialog = wintest::WaitForTopLevel(L"mc", 10000, server.process.Pid());
        REQUIRE(dialog);
        CHECK(IsDlgButtonChecked(dialog, IDC_STARTUP) == BST_CHECKED);
        SendMessageW(GetDlgItem(dialog, IDC_STARTUP), BM_CLICK, 0, 0);
        SendMessageW(GetDlgItem(dialog, IDC_EXT_WAV), BM_CLICK, 0, 0);
        wintest::PressButton(dialog, IDCANCEL);
        DWORD code = 99;
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
        CHECK(RegText(HKEY_CURRENT_USER, wintest::kRunKeyPath, L"PYX") == stage + L"PyxVideoServer.exe");
        CHECK(RegText(HKEY_CLASSES_ROOT, L".wav") != L"TarselFile");
    }
    {
        // uninstall: no dialog; the start-up value goes and every extension
        // gets its stock type back.
        Server server;
        REQUIRE(server.Start(stage, L"uninstall"));
        DWORD code = 99;
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
        CHECK(RegText(HKEY_CURRENT_USER, wintest::kRunKeyPath, L"PYX") == L"<none>");
        for (const ExtensionRow &row : kExtensionTable)
            CHECK(RegText(HKEY_CLASSES_ROOT, reinterpret_cast<const wchar_t *>(row.pszExtension)) ==
                  reinterpret_cast<const wchar_t *>(row.pszStockType));
    }
    CHECK(boxes.Texts().empty());
}

TEST_CASE("the tray menu's Settings shows the dialog; a thread ending on its own ends the program")
{
    wintest::BoxWatcher boxes;
    const std::wstring stage = StagedServer();
    wintest::InstallationValues installation(stage);
    {
        // No session: the control thread waits, the program runs hidden.
        wintest::RemoveService(L"HalvernService");
        Server server;
        REQUIRE(server.Start(stage));
        const HWND dialog = wintest::ServerDialog(server.process.Pid());
        REQUIRE(dialog);
        CHECK_FALSE(IsWindowVisible(dialog));
        TrayMenu(dialog, false);
        CHECK(WaitUntil([&] { return IsWindowVisible(dialog) != FALSE; }, 5000));
        // Escape (Cancel) only hides it.
        wintest::PressButton(dialog, IDCANCEL);
        CHECK(WaitUntil([&] { return !IsWindowVisible(dialog); }, 5000));
        DWORD code = 99;
        CHECK_FALSE(server.Ended(300, &code));
        TrayMenu(dialog, true);
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
        CHECK(boxes.Texts().empty());
    }
    {
        // An ICA session whose channel no client serves: the thread ends on
        // its own, says so, and the program ends after the box.
        REQUIRE(wintest::EnsureService(L"HalvernService"));
        Server server;
        REQUIRE(server.Start(stage));
        CHECK(boxes.WaitFor(L"Server thread terminated. Please restart the application.", 15000));
        DWORD code = 99;
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
        wintest::RemoveService(L"HalvernService");
    }
    {
        // The instance marker went with the process: the next start runs.
        Server server;
        REQUIRE(server.Start(stage));
        const HWND dialog = wintest::ServerDialog(server.process.Pid());
        REQUIRE(dialog);
        DWORD code = 99;
        CHECK_FALSE(server.Ended(500, &code));
        TrayMenu(dialog, true);
        REQUIRE(server.Ended(10000, &code));
        CHECK(code == 0);
    }
}

TEST_CASE("a download that stalls holds up no other file, nor \"Kill Clients\" and the tray's Exit")
{
    wintest::BoxWatcher boxes;
    REQUIRE(wintest::EnsureService(L"HalvernService"));
    const std::wstring stage = StagedServer();
    wintest::InstallationValues installation(stage);
    loopback::HttpServer http;
    std::vector<unsigned char> body(8000000);
    for (uint32_t i = 0; i < body.size(); ++i)
        body[i] = wintest::PatternByte(i);
    http.AddFile("/a.avi", body);
    http.AddFile("/b.avi", body);
    http.SetModes(loopback::HttpServer::kStall);
    REQUIRE(http.Start());
    ClientDevice device(true);
    std::string error;
    REQUIRE_MESSAGE(device.Start(&error), error);

    Server server;
    REQUIRE(server.Start(stage));
    REQUIRE_MESSAGE(device.Handshake(DeviceOptions{}, &error), error);
    // Two URLs open; the first one's worker is left inside a read of a
    // download that sends no more. It took its own copy of the request, so
    // it holds neither the shared buffer nor the channel.
    std::vector<std::pair<int32_t, int32_t>> opened;
    for (const char *path : {"/a.avi", "/b.avi"}) {
        loopback::ReceivedMessage reply;
        REQUIRE(device.Call(ClientDevice::kControl, BuildOpenRequest(wintest::Widen(http.Url(path)), 0), &reply,
                            5000));
        opened.emplace_back(LoadLE32s(reply.bytes.data() + 32), LoadLE32s(reply.bytes.data() + 36));
        REQUIRE(opened.back().first != -1);
    }
    TempFile kept(300000, L"pyx_kept");
    loopback::ReceivedMessage keptReply;
    REQUIRE(device.Call(ClientDevice::kControl, BuildOpenRequest(kept.Path(), 0), &keptReply, 5000));
    const int32_t keptFd = LoadLE32s(keptReply.bytes.data() + 32);
    const int32_t keptChannel = LoadLE32s(keptReply.bytes.data() + 36);
    REQUIRE(keptFd != -1);
    for (int i = 0; i < 2; ++i) {
        const auto read = BuildWordsRequest(
            PYXMSG_RPC_READ, {static_cast<uint32_t>(opened[0].first), 8000000, 0xFFFFFFFFu}, 0, opened[0].second);
        REQUIRE(device.SendRaw(opened[0].second, read.data(), static_cast<uint32_t>(read.size())));
        if (i == 0)
            Sleep(500);   // the worker takes the first and stays in it
    }
    // The second READ is dropped at once (its worker is still in the first),
    // so a READ of another file and a "SEND" are answered within 1 s.
    DWORD asked = GetTickCount();
    loopback::ReceivedMessage answer;
    REQUIRE(device.Call(ClientDevice::kControl, BuildSendParams(0, 0, 0, 1, 0), &answer, 5000));
    CHECK(GetTickCount() - asked < 1000);
    asked = GetTickCount();
    REQUIRE(device.Call(keptChannel, BuildWordsRequest(PYXMSG_RPC_READ, {static_cast<uint32_t>(keptFd), 1000, 5000}, 0,
                                                                keptChannel),
                        &answer, 5000));
    CHECK(GetTickCount() - asked < 1000);
    REQUIRE(answer.bytes.size() == 1036);
    for (uint32_t i = 0; i < 1000; ++i)
        REQUIRE(answer.bytes[36 + i] == wintest::PatternByte(5000 + i));
    REQUIRE(device.Call(ClientDevice::kControl, BuildWordsRequest(PYXMSG_RPC_CLOSE, {static_cast<uint32_t>(keptFd)}, 0,
                                                                           CHANNEL_CONTROL),
                        &answer, 5000));

    // Meanwhile a local file is opened on another channel and read to its
    // end, every byte checked, within a few seconds.
    std::vector<std::unique_ptr<TempFile>> local;
    local.push_back(std::make_unique<TempFile>(2000000, L"pyx_beside"));
    const DWORD beside = GetTickCount();
    loopback::DeviceSummary sum = device.Run(FilesOf(local, 1));
    INFO(sum.Line());
    CHECK(sum.ok);
    CHECK(GetTickCount() - beside < 8000);

    // An OPEN whose server trickles its headers is pending too.
    loopback::HttpServer slow;
    slow.AddFile("/slow.avi", std::vector<unsigned char>(100000, 7));
    slow.SetModes(loopback::HttpServer::kTrickleHeaders);
    REQUIRE(slow.Start());
    auto openSlow = [&] {
        const unsigned before = slow.Connections();
        const auto open = BuildOpenRequest(wintest::Widen(slow.Url("/slow.avi")), 0);
        REQUIRE(device.SendRaw(ClientDevice::kControl, open.data(), static_cast<uint32_t>(open.size())));
        CHECK(WaitUntil([&] { return slow.Connections() > before; }, 5000));
    };
    openSlow();

    // "Kill Clients": the control thread's end waits for the stuck worker
    // within its budget only, and for the pending open not at all, so the
    // restart happens within the dialog's 5000 ms; the stuck worker finishes
    // on its own and never answers.
    const HWND dialog = wintest::ServerDialog(server.process.Pid());
    REQUIRE(dialog);
    DWORD start = GetTickCount();
    PostMessageW(dialog, WM_COMMAND, IDC_KILL_CLIENTS, 0);
    CHECK(boxes.WaitFor(L"All clients disconnected. Server restarted.", 8000));
    CHECK(GetTickCount() - start < 5000);

    // The tray's Exit, with the new control thread inside another such open,
    // ends the program at once: neither the stuck worker nor the opens are
    // the control thread's to wait for, and the program ends without static
    // destruction under them.
    Sleep(1000);
    openSlow();
    start = GetTickCount();
    TrayMenu(dialog, true);
    DWORD code = 99;
    REQUIRE(server.Ended(20000, &code));
    CHECK(code == 0);
    CHECK(GetTickCount() - start < 5000);
    const std::vector<std::wstring> texts = boxes.Texts();
    CHECK(texts == std::vector<std::wstring>{L"All clients disconnected. Server restarted."});
    slow.Stop();
    http.Stop();
    device.Stop();
    wintest::RemoveService(L"HalvernService");
}
