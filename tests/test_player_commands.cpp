// The player's command queue with its real thread on the loopback platform:
// what reaches the client player on RDP ("pyxan") and on ICA ("ZRBCHNL"),
// and the server launch against the real PyxVideoServer.exe.
#include "doctest.h"

#include "installation_guard.h"
#include "launch_fakes.h"
#include "launch_server.h"
#include "player_commands_win.h"
#include "player_msg.h"
#include "program_stage.h"
#include "protocol.h"
#include "session_fakes.h"
#include "trace.h"
#include "vc_server.h"
#include "win_test_util.h"
#include "kernel_names.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using loopback::ChannelServer;
using loopback::ReceivedMessage;
using wintest::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

std::mutex g_traceLock;
std::vector<std::wstring> g_trace;
void Capture(const wchar_t *text)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    g_trace.emplace_back(text);
}
bool Traced(const std::wstring &part)
{
    std::lock_guard<std::mutex> hold(g_traceLock);
    for (const auto &t : g_trace)
        if (t.find(part) != std::wstring::npos)
            return true;
    return false;
}

struct Arrival
{
    uint32_t type = 0;
    uint32_t command = 0;
    int32_t value = 0;
    int32_t width = 0;   // the third value (a SIZE's width)
    double ms = 0;   // since the test's mark
};

// The client's side of the player channel, with every message checked as
// the client player would.
struct ClientPlayer
{
    ChannelServer server;
    Clock::time_point mark = Clock::now();
    explicit ClientPlayer(bool ica) : server(ica ? kIcaChannelName : kRdpPlayerChannelName, 2)
    {
        REQUIRE(server.Start());
    }
    void Mark() { mark = Clock::now(); }
    bool Next(Arrival *out, DWORD ms = 3000)
    {
        ReceivedMessage m;
        if (!server.Receive(&m, ms))
            return false;
        out->ms = std::chrono::duration<double, std::milli>(Clock::now() - mark).count();
        const std::vector<unsigned char> &b = m.bytes;
        REQUIRE(b.size() >= kHeaderSize);
        const MessageHeader h = LoadHeader(b.data());
        CHECK(h.dwChannelNumber == static_cast<uint32_t>(CHANNEL_PLAYER));
        CHECK(b.size() == kHeaderSize + h.dwMessageDataSize);
        out->type = h.dwMessageType;
        if (h.dwMessageType == PYXMSG_PLAYER_CONTROL) {
            REQUIRE(b.size() == kPlayerControlSize);
            out->command = LoadLE32(b.data() + 32);
            out->value = LoadLE32s(b.data() + 36);
            out->width = LoadLE32s(b.data() + 44);
        } else {
            CHECK(h.dwMessageType == PYXMSG_PLAYER_OPEN);
            CHECK(b.size() == kPlayerOpenSize);
        }
        return true;
    }
};

struct SessionSetup
{
    explicit SessionSetup(bool ica)
    {
        if (ica)
            REQUIRE(wintest::EnsureService(L"HalvernService"));
        else
            UseRdpSessionOps();
        SetLaunchOps(&kServerRunningOps);
    }
    ~SessionSetup()
    {
        SetLaunchOps(nullptr);
        UsePlatformSessionOps();
        wintest::RemoveService(L"HalvernService");
    }
};

} // namespace

TEST_CASE("an open goes out at once, a command after 100 ms, and a burst queued meanwhile arrives merged")
{
    for (const bool ica : {false, true}) {
        CAPTURE(ica);
        wintest::BoxWatcher boxes;
        SessionSetup session(ica);
        ClientPlayer client(ica);
        CPlayerCommands player;
        REQUIRE(player.StartPlayerControl() == 0);
        REQUIRE(player.IsRunning());

        client.Mark();
        REQUIRE(player.QueueOpenFile(L"C:\\media\\clip.avi") == 0);
        REQUIRE(player.QueuePlayerCommand(PLAYER_CMD_VOLUME, 100) == 0);
        Arrival open, volume;
        REQUIRE(client.Next(&open));
        REQUIRE(client.Next(&volume));
        CHECK(open.type == PYXMSG_PLAYER_OPEN);
        CHECK(open.ms < 100);
        CHECK(volume.command == PLAYER_CMD_VOLUME);
        CHECK(volume.value == 100);
        CHECK(volume.ms - open.ms >= 95);   // timer granularity

        // While the thread waits out PLAY's delay, a dragged slider and a
        // moved window queue more: equal neighbours merge, others stay
        // apart, and a second MOVE takes the place of the pending one.
        REQUIRE(player.QueuePlayerCommand(PLAYER_CMD_PLAY) == 0);
        Sleep(20);
        for (int v : {30, 50, 70})
            player.QueuePlayerCommand(PLAYER_CMD_VOLUME, v);
        player.QueuePlayerCommand(PLAYER_CMD_MOVE, 10, 20);
        player.QueuePlayerCommand(PLAYER_CMD_SIZE, 0, 0, 300, 200);
        player.QueuePlayerCommand(PLAYER_CMD_MOVE, 11, 21);
        std::vector<Arrival> got(4);
        for (Arrival &a : got)
            REQUIRE(client.Next(&a));
        CHECK(got[0].command == PLAYER_CMD_PLAY);
        CHECK((got[1].command == PLAYER_CMD_VOLUME && got[1].value == 70));
        CHECK((got[2].command == PLAYER_CMD_MOVE && got[2].value == 11));
        CHECK(got[3].command == PLAYER_CMD_SIZE);
        Arrival extra;
        CHECK_FALSE(client.Next(&extra, 400));

        CHECK(player.StopPlayerControl() == 0);
        CHECK(player.StopPlayerControl() == 0);   // a second stop does nothing
        CHECK(boxes.Texts().empty());
    }
}

TEST_CASE("a 10 s drag of the window's left edge: its last place and size reach the client within 500 ms")
{
    wintest::BoxWatcher boxes;
    SessionSetup session(false);
    ClientPlayer client(false);
    CPlayerCommands player;
    REQUIRE(player.StartPlayerControl() == 0);
    client.Mark();
    // 60 steps a second, each a MOVE and a SIZE, as the window queues them.
    const auto start = Clock::now();
    for (int32_t step = 0; step < 600; ++step) {
        player.QueuePlayerCommand(PLAYER_CMD_MOVE, 100 - step / 10, 50);
        player.QueuePlayerCommand(PLAYER_CMD_SIZE, 0, 0, 400 + step / 10, 300);
        std::this_thread::sleep_until(start + std::chrono::microseconds(16667 * (step + 1)));
    }
    const double dragEnd = std::chrono::duration<double, std::milli>(Clock::now() - client.mark).count();
    double lastMove = -1, lastSize = -1;
    for (Arrival a; (lastMove < 0 || lastSize < 0) && client.Next(&a, 2000);) {
        if (a.command == PLAYER_CMD_MOVE && a.value == 100 - 599 / 10)
            lastMove = a.ms;
        if (a.command == PLAYER_CMD_SIZE && a.width == 400 + 599 / 10)
            lastSize = a.ms;
    }
    REQUIRE(lastMove >= 0);
    REQUIRE(lastSize >= 0);
    MESSAGE("last MOVE " << lastMove - dragEnd << " ms, last SIZE " << lastSize - dragEnd << " ms after the drag");
    CHECK(lastMove - dragEnd < 500);
    CHECK(lastSize - dragEnd < 500);
    CHECK(player.StopPlayerControl() == 0);
    CHECK(boxes.Texts().empty());
}

TEST_CASE("the thread's own failures end it with its message, and the window's queue refuses from then on")
{
    wintest::BoxWatcher boxes;
    SUBCASE("not a remote session")
    {
        SetLaunchOps(&kServerRunningOps);
        wintest::RemoveService(L"HalvernService");
        CPlayerCommands player;
        player.StartPlayerControl();
        CHECK(boxes.WaitFor(L"This is neither RDP nor ICA session!", 5000));
        CHECK(WaitUntil([&] { return !player.IsRunning(); }, 5000));
        CHECK(player.QueueOpenFile(L"x.avi") == 1);
        CHECK(player.GetFileChecksum() == 0);
        SetLaunchOps(nullptr);
    }
    SUBCASE("no installation values: no server")
    {
        wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
        CPlayerCommands player;
        player.StartPlayerControl();
        CHECK(boxes.WaitFor(L"No server is active!!!!", 5000));
        CHECK(WaitUntil([&] { return !player.IsRunning(); }, 5000));
        CHECK(player.QueuePlayerCommand(PLAYER_CMD_PLAY) == 1);
    }
    SUBCASE("the channel cannot be opened")
    {
        SessionSetup session(false);
        SetTraceHook(Capture);
        CPlayerCommands player;   // nobody listens on pyxan
        player.StartPlayerControl();
        CHECK(WaitUntil([&] { return Traced(L"WTSVirtualChannelOpen fails 0x"); }, 5000));
        CHECK(WaitUntil([&] { return !player.IsRunning(); }, 5000));
        SetTraceHook(nullptr);
    }
}

namespace {

// A server that takes 7 s to be ready, longer than StopPlayerControl waits.
const LaunchOps kSlowServer{
    [] { return ServerMarker::Created; },
    [](WireChar (&path)[kPathUnits]) { return path[0] = u'x', path[1] = 0, size_t{1}; },
    [](const WireChar *, const WireChar *, uint32_t *) { return true; },
    [](uint32_t, uint32_t *) { return Sleep(7000), ReadyWait::Ready; },
};

} // namespace

TEST_CASE("a thread that outlives StopPlayerControl finishes on its own, without the object that started it")
{
    wintest::BoxWatcher boxes;
    SessionSetup session(false);
    SetLaunchOps(&kSlowServer);
    SetTraceHook(Capture);
    ClientPlayer client(false);
    {
        auto player = std::make_unique<CPlayerCommands>();
        REQUIRE(player->StartPlayerControl() == 0);   // still launching after 500 ms
        REQUIRE(player->QueueOpenFile(L"C:\\media\\late.avi") == 0);
        const auto stop = Clock::now();
        CHECK(player->StopPlayerControl() == 0);
        CHECK(std::chrono::duration<double, std::milli>(Clock::now() - stop).count() >= 4900);
        CHECK(Traced(L"WaitForSingleObject timeout"));
        // The object goes on stopped; its events are closed, and it is gone
        // before the thread wakes up.
        CHECK(player->QueuePlayerCommand(PLAYER_CMD_PLAY) == 1);
    }
    // The thread wakes, opens its channel, sees its own stop event and ends
    // without writing the command queued before the stop.
    CHECK(WaitUntil([] { return Traced(L"CRdpChannelIO::CloseChannel"); }, 8000));
    CHECK_FALSE(Traced(L"WaitForMultipleObjects failed"));   // its own events, not closed ones
    Arrival late;
    CHECK_FALSE(client.Next(&late, 500));
    SetTraceHook(nullptr);

    // A new start works as ever.
    SetLaunchOps(&kServerRunningOps);
    CPlayerCommands again;
    REQUIRE(again.StartPlayerControl() == 0);
    CHECK(again.QueueOpenFile(L"C:\\media\\next.avi") == 0);
    Arrival next;
    CHECK(client.Next(&next));
    CHECK(next.type == PYXMSG_PLAYER_OPEN);
    again.StopPlayerControl();
    CHECK(boxes.Texts().empty());
}

namespace {

struct StagedFolders
{
    std::wstring root = wintest::ExeFolder() + L"player_stage\\";
    std::wstring server = root + L"Tarsel Test\\";   // a blank in the folder
    std::wstring decoy = root + L"Tarsel.exe";       // where an unquoted start looks first
    StagedFolders()
    {
        CreateDirectoryW(root.c_str(), nullptr);
        REQUIRE(wintest::StageServer(server));
        const std::wstring fake = wintest::ExeFolder() + L"fake_server.exe";
        REQUIRE(CopyFileW(fake.c_str(), decoy.c_str(), FALSE));
        REQUIRE(CopyFileW(fake.c_str(), (server + L"SlowServer.exe").c_str(), FALSE));
        DeleteFileW((decoy + L".ran").c_str());
    }
};

size_t ServerCount()
{
    size_t n = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", L"mc")) != nullptr;)
        ++n;
    return n;
}

} // namespace

TEST_CASE("LaunchServer with the real server: started from the values, ready in time, never twice, never a decoy")
{
    wintest::BoxWatcher boxes;
    wintest::RemoveService(L"HalvernService");
    REQUIRE(wintest::StopServers());
    StagedFolders stage;
    wintest::InstallationValues installation(stage.server);
    SetTraceHook(Capture);

    const auto start = Clock::now();
    CHECK(LaunchServer());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    MESSAGE("LaunchServer from no server to ready: " << ms << " ms");
    CHECK(ms < 3000);
    CHECK(Traced(L"Server activated OK!"));
    REQUIRE(wintest::ServerDialog(0));
    CHECK(GetFileAttributesW((stage.decoy + L".ran").c_str()) == INVALID_FILE_ATTRIBUTES);

    // A server runs: nothing is started and nothing waited for.
    const auto again = Clock::now();
    CHECK(LaunchServer());
    CHECK(std::chrono::duration<double, std::milli>(Clock::now() - again).count() < 500);
    CHECK(Traced(L"Server already running!!!!"));
    Sleep(500);
    CHECK(ServerCount() == 1);
    CHECK(wintest::StopServers());

    // "ServerApplication" missing: the folder alone fails to start.
    wintest::DeleteValue(HKEY_CURRENT_USER, wintest::kInstallationKey, L"ServerApplication");
    CHECK_FALSE(LaunchServer());
    CHECK(Traced(L"CreateProcess failed ("));

    // The key missing: false, and no message from the launch itself.
    wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
    CHECK_FALSE(LaunchServer());

    // A program that starts but is not ready within 3000 ms.
    wintest::SetString(HKEY_CURRENT_USER, wintest::kInstallationKey, L"Path", stage.server);
    wintest::SetString(HKEY_CURRENT_USER, wintest::kInstallationKey, L"ServerApplication", L"SlowServer.exe");
    CHECK(boxes.Texts().empty());
    CHECK_FALSE(LaunchServer());
    CHECK(boxes.WaitFor(L"Server didn't activate properly!!!!, Timeout!", 3000));
    SetTraceHook(nullptr);
}
