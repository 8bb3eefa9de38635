// The player's command queue, its write loop and the server launch, without
// the platform: merging, the exact messages, refusals, the stop event's
// priority, and every way LaunchServer can end.
#include "doctest.h"

#include "checksum.h"
#include "command_loop.h"
#include "command_queue.h"
#include "launch_server.h"
#include "player_msg.h"
#include "protocol.h"
#include "resume.h"
#include "trace.h"

#include <algorithm>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> g_log;
std::vector<std::wstring> g_boxes;
void Log(const wchar_t *text) { g_log.emplace_back(text); }
void Box(const wchar_t *text) { g_boxes.emplace_back(text); }

struct Hooks
{
    Hooks()
    {
        g_log.clear();
        g_boxes.clear();
        SetTraceHook(Log);
        SetErrorBoxHook(Box);
    }
    ~Hooks()
    {
        SetTraceHook(nullptr);
        SetErrorBoxHook(nullptr);
        SetLaunchOps(nullptr);
    }
};

bool Logged(const std::wstring &line)
{
    for (const auto &l : g_log)
        if (l == line)
            return true;
    return false;
}

// A running queue whose 100 ms waits are recorded instead of slept.
struct RunningQueue : CPlayerCommandQueue
{
    std::vector<uint32_t> sleeps;
    RunningQueue()
    {
        SetRunning(true);
        SetSleeper([this](uint32_t ms) { sleeps.push_back(ms); });
    }
};

std::vector<CCommand> Merged(std::initializer_list<CCommand> in)
{
    std::list<CCommand> l(in);
    MergeRepeatedCommands(l);
    return {l.begin(), l.end()};
}

std::u16string Name(size_t units)
{
    std::u16string s;
    for (size_t i = 0; i < units; ++i)
        s += static_cast<char16_t>(u'a' + i % 26);
    return s;
}

// The loop's platform, run on the test's thread: the events are flags, the
// writes are kept, and an empty wait list ends the loop as a stop would.
struct FakePlatform final : CPlayerLoopPlatform
{
    bool stop = false;
    bool command = true;
    bool mutexBusy = false;
    bool failWrite = false;
    bool failWait = false;
    bool connected = true;
    bool stopDuringSettle = false;   // the stop event comes while a failure settles
    bool dropSessionOnWrite = false; // the session disconnects during the next write
    CPlayerCommandQueue *queue = nullptr;      // with a connect while the box is open:
    std::vector<CCommand> connectDuringBox;    // the window hands these over then
    int connectsDuringBox = 1;
    bool handedOver = false;
    int mutexHeld = 0;
    std::vector<uint32_t> stopWaits;
    std::vector<std::vector<unsigned char>> writes;
    std::vector<std::wstring> boxes;

    Wake WaitForWork(uint32_t *result) override
    {
        if (failWait) {
            *result = 0xFFFFFFFF;
            return Wake::Failed;
        }
        if (stop) {
            stop = false;
            return Wake::Stop;
        }
        return command ? Wake::Command : Wake::Stop;
    }
    void ResetCommandEvent() override { command = false; }
    void SetCommandEvent() override { command = true; }
    bool AcquireMutex(uint32_t timeoutMs) override
    {
        CHECK(timeoutMs == 1000);
        return !mutexBusy && ++mutexHeld;
    }
    void ReleaseMutex() override { --mutexHeld; }
    bool WriteMessage(void *message, uint32_t length, uint32_t *written) override
    {
        CHECK(mutexHeld == 1);
        const auto *b = static_cast<unsigned char *>(message);
        writes.emplace_back(b, b + length);
        connected = connected && !dropSessionOnWrite;
        *written = failWrite ? length - 1 : length;
        return !failWrite;
    }
    bool WaitForStop(uint32_t timeoutMs) override
    {
        stopWaits.push_back(timeoutMs);
        return timeoutMs == kWaitForever || stopDuringSettle;
    }
    bool IsSessionConnected() override { return connected; }
    void ShowMessageBox(const wchar_t *text) override
    {
        CHECK(mutexHeld == 0);
        boxes.emplace_back(text);
        for (int i = 0; queue && i < connectsDuringBox; ++i)
            handedOver = queue->HandOverRestart(connectDuringBox);
    }
};

uint32_t Code(const std::vector<unsigned char> &m) { return LoadLE32(m.data() + 32); }

} // namespace

TEST_CASE("only direct neighbours with the same whole code merge, keeping the last values")
{
    const auto volumes = Merged({CCommand::Player(PLAYER_CMD_VOLUME, 30), CCommand::Player(PLAYER_CMD_VOLUME, 50),
                                 CCommand::Player(PLAYER_CMD_VOLUME, 70)});
    REQUIRE(volumes.size() == 1);
    CHECK(volumes[0].nParam1 == 70);

    const auto moves = Merged({CCommand::Player(PLAYER_CMD_MOVE, 1, 2), CCommand::Player(PLAYER_CMD_SIZE, 0, 0, 3, 4),
                               CCommand::Player(PLAYER_CMD_MOVE, 5, 6)});
    CHECK(moves.size() == 3);

    const auto minimise = Merged({CCommand::Player(PLAYER_CMD_MINIMIZE), CCommand::Player(PLAYER_CMD_SIZE, 0, 0, 9, 9)});
    CHECK(minimise.size() == 2);

    const auto aroundOpen = Merged({CCommand::Player(PLAYER_CMD_VOLUME, 10), CCommand::OpenFile(u"a.avi"),
                                    CCommand::Player(PLAYER_CMD_VOLUME, 20)});
    REQUIRE(aroundOpen.size() == 3);
    CHECK(aroundOpen[0].nParam1 == 10);

    // Two opens never merge; a run after an open merges in its place.
    const auto runs = Merged({CCommand::OpenFile(u"a"), CCommand::OpenFile(u"b"), CCommand::Player(PLAYER_CMD_SEEK, 1),
                              CCommand::Player(PLAYER_CMD_SEEK, 2), CCommand::Player(PLAYER_CMD_SEEK, 3, 4, 5, 6),
                              CCommand::Player(PLAYER_CMD_PLAY)});
    REQUIRE(runs.size() == 4);
    CHECK(runs[2].dwCommand == PLAYER_CMD_SEEK);
    CHECK((runs[2].nParam1 == 3 && runs[2].nParam2 == 4 && runs[2].nParam3 == 5 && runs[2].nParam4 == 6));
    CHECK(runs[3].dwCommand == PLAYER_CMD_PLAY);
}

TEST_CASE("at most one MOVE and one SIZE wait after the last MINIMIZE or ACTIVATE: a new one takes the place of the pending one")
{
    Hooks hooks;
    RunningQueue q;
    // A drag of the left edge: thousands of steps, and a play between them.
    for (int32_t step = 0; step < 600; ++step) {
        q.QueuePlayerCommand(PLAYER_CMD_MOVE, step, 10);
        q.QueuePlayerCommand(PLAYER_CMD_SIZE, 0, 0, 1000 - step, 500);
        if (step == 300)
            q.QueuePlayerCommand(PLAYER_CMD_PLAY);
    }
    q.QueuePlayerCommand(PLAYER_CMD_VOLUME, 40);
    q.QueuePlayerCommand(PLAYER_CMD_VOLUME, 60);   // neighbours still merge when sent
    CHECK(q.Count() == 5);
    FakePlatform p;
    RunPlayerCommandLoop(q, p);
    REQUIRE(p.writes.size() == 4);
    CHECK(Code(p.writes[0]) == PLAYER_CMD_MOVE);
    CHECK(LoadLE32s(p.writes[0].data() + 36) == 599);   // the latest place
    CHECK(Code(p.writes[1]) == PLAYER_CMD_SIZE);
    CHECK(LoadLE32s(p.writes[1].data() + 44) == 401);
    CHECK(Code(p.writes[2]) == PLAYER_CMD_PLAY);
    CHECK(Code(p.writes[3]) == PLAYER_CMD_VOLUME);
    CHECK(LoadLE32s(p.writes[3].data() + 36) == 60);

    // Never across a MINIMIZE or ACTIVATE: a restore after a minimise, a
    // move after an activation reach the client after it.
    for (const uint32_t between : {PLAYER_CMD_MINIMIZE, PLAYER_CMD_ACTIVATE}) {
        for (const uint32_t kind : {PLAYER_CMD_SIZE, PLAYER_CMD_MOVE}) {
            RunningQueue later;
            later.QueuePlayerCommand(kind, 1, 1, 1, 1);
            later.QueuePlayerCommand(between);
            later.QueuePlayerCommand(kind, 2, 2, 2, 2);
            later.QueuePlayerCommand(kind, 3, 3, 3, 3);   // takes the place of the last one only
            FakePlatform written;
            RunPlayerCommandLoop(later, written);
            REQUIRE(written.writes.size() == 3);
            CHECK(std::vector<uint32_t>{Code(written.writes[0]), Code(written.writes[1]), Code(written.writes[2])} ==
                  std::vector<uint32_t>{kind, between, kind});
            CHECK(LoadLE32s(written.writes[2].data() + 36) == 3);
        }
    }
}

TEST_CASE("composed messages have the exact bytes, and a long name is cut at 260 units without overrun")
{
    RunningQueue q;
    unsigned char buffer[kPlayerMessageBufferSize];
    uint32_t length = 0;

    REQUIRE(q.QueuePlayerCommand(PLAYER_CMD_MOVE, -7, 300) == 0);
    REQUIRE(q.ComposeCommandBuffer(buffer, sizeof buffer, &length) == 0);
    const unsigned char cont[] = {0x43, 0x4F, 0x4E, 0x54, 0x14, 0, 0, 0};
    CHECK(length == 52);
    CHECK(std::equal(cont, cont + 8, buffer));
    CHECK(LoadLE32(buffer + 8) <= 32767);
    CHECK(LoadLE32(buffer + 12) == 0xFFFFFFFE);
    CHECK(std::all_of(buffer + 16, buffer + 32, [](unsigned char b) { return b == 0; }));
    CHECK(LoadLE32(buffer + 32) == 0x00030000);
    CHECK(LoadLE32s(buffer + 36) == -7);
    CHECK(LoadLE32s(buffer + 40) == 300);
    CHECK(q.sleeps == std::vector<uint32_t>{100});

    for (size_t units : {size_t{259}, size_t{260}, size_t{300}}) {
        CAPTURE(units);
        const std::u16string name = Name(units);
        std::fill(std::begin(buffer), std::end(buffer), 0xCC);
        REQUIRE(q.QueueOpenFile(name.c_str()) == 0);
        CHECK(q.GetFileChecksum() == NameChecksum(name.data(), units));
        REQUIRE(q.ComposeCommandBuffer(buffer, sizeof buffer, &length) == 0);
        const unsigned char ruof[] = {0x52, 0x55, 0x4F, 0x46, 0x10, 0x02, 0, 0};
        CHECK(length == 560);
        CHECK(std::equal(ruof, ruof + 8, buffer));
        CHECK(LoadLE32(buffer + 12) == 0xFFFFFFFE);
        const size_t sent = units < 260 ? units : 260;
        for (size_t i = 0; i < 260; ++i)
            CHECK(LoadLE16(buffer + 32 + 2 * i) == (i < sent ? name[i] : 0));
        CHECK(LoadLE32(buffer + 552) == 0);
        CHECK(LoadLE32(buffer + 556) == 0);
        CHECK(buffer[560] == 0xCC);   // nothing written past the message
    }
    CHECK(q.sleeps.size() == 1);   // opens are not delayed
    CHECK(q.ComposeCommandBuffer(buffer, sizeof buffer, &length) == 2);
}

TEST_CASE("queueing while not running is refused and changes nothing")
{
    RunningQueue q;
    REQUIRE(q.QueueOpenFile(u"first.avi") == 0);
    const uint16_t checksum = q.GetFileChecksum();
    CHECK(checksum == NameChecksum(u"first.avi", 9));
    q.SetRunning(false);   // the worker ended
    CHECK(q.QueueOpenFile(u"second.avi") == 1);
    CHECK(q.QueuePlayerCommand(PLAYER_CMD_PLAY) == 1);
    CHECK(q.GetFileChecksum() == checksum);
    CHECK(q.Count() == 1);

    CPlayerCommandQueue fresh;   // before the start
    CHECK(fresh.QueueOpenFile(u"x") == 1);
    CHECK(fresh.GetFileChecksum() == 0);
    CHECK(fresh.Count() == 0);
}

TEST_CASE("the write loop: stop wins over queued commands, and failures cost one command only")
{
    Hooks hooks;
    SUBCASE("a stop with three commands queued writes none of them")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PLAY);
        q.QueuePlayerCommand(PLAYER_CMD_PAUSE);
        q.QueueOpenFile(u"x.avi");
        FakePlatform p;
        p.stop = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.writes.empty());
        CHECK(q.Count() == 3);
    }
    SUBCASE("an open and a volume: RUOF at once, CONT after the delay, in order")
    {
        RunningQueue q;
        q.QueueOpenFile(u"x.avi");
        q.QueuePlayerCommand(PLAYER_CMD_VOLUME, 100);
        FakePlatform p;
        RunPlayerCommandLoop(q, p);
        REQUIRE(p.writes.size() == 2);
        CHECK(p.writes[0].size() == 560);
        CHECK(Code(p.writes[1]) == PLAYER_CMD_VOLUME);
        CHECK(q.sleeps == std::vector<uint32_t>{100});
        CHECK(Logged(L"Written 560 bytes\r\n"));
        CHECK(Logged(L"Written 52 bytes\r\n"));
    }
    SUBCASE("a command of unknown type is logged and lost, the next is still written")
    {
        RunningQueue q;
        CCommand bad = CCommand::Player(PLAYER_CMD_PLAY);
        bad.dwCommandType = 7;
        q.Queue(bad);
        q.QueuePlayerCommand(PLAYER_CMD_STOP);
        FakePlatform p;
        RunPlayerCommandLoop(q, p);
        CHECK(Logged(L"pCPlayerCommands->ComposeCommandBuffer returned error!\r\n"));
        REQUIRE(p.writes.size() == 1);
        CHECK(Code(p.writes[0]) == PLAYER_CMD_STOP);
    }
    SUBCASE("a busy mutex drops that command without a message; failed writes show one box until a write succeeds")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PLAY);
        FakePlatform p;
        p.mutexBusy = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.writes.empty());
        CHECK(p.boxes.empty());
        CHECK(q.Count() == 0);

        q.QueuePlayerCommand(PLAYER_CMD_PAUSE);
        q.QueueOpenFile(u"y.avi");
        p.mutexBusy = false;
        p.failWrite = true;
        p.command = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.writes.size() == 2);
        CHECK(p.boxes == std::vector<std::wstring>(1, L"Failed to transmit data to client!"));
        CHECK(p.stopWaits == std::vector<uint32_t>(2, kDisconnectSettleMs));
        CHECK(p.mutexHeld == 0);
        CHECK(q.Count() == 0);
    }
    SUBCASE("a write the stop cancelled shows no box and is kept for the next thread")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_CLOSE);
        FakePlatform p;
        p.failWrite = true;
        p.stopDuringSettle = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.boxes.empty());
        CHECK(q.Count() == 1);
    }
    SUBCASE("disconnected: no box, the failed command and later ones wait in order for the reconnect")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PAUSE);
        q.QueuePlayerCommand(PLAYER_CMD_MOVE, 1, 2);
        q.QueuePlayerCommand(PLAYER_CMD_STOP);
        FakePlatform p;
        p.failWrite = true;
        p.dropSessionOnWrite = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.boxes.empty());
        CHECK(p.writes.size() == 1);
        CHECK(p.stopWaits == std::vector<uint32_t>{kDisconnectSettleMs, kWaitForever});
        CHECK(q.Count() == 3);

        // Already disconnected: nothing is written at all.
        FakePlatform idle;
        idle.connected = false;
        RunPlayerCommandLoop(q, idle);
        CHECK(idle.writes.empty());
        CHECK(q.Count() == 3);

        // The reconnect's commands go first and replace queued places.
        q.Resume({CCommand::OpenFile(u"x.avi"), CCommand::Player(PLAYER_CMD_MOVE, 5, 6)});
        q.QueuePlayerCommand(PLAYER_CMD_ACTIVATE, 1);
        FakePlatform back;
        RunPlayerCommandLoop(q, back);
        std::vector<uint32_t> codes;
        for (const auto &w : back.writes)
            codes.push_back(w.size() == 560 ? 0u : Code(w));
        CHECK(codes == std::vector<uint32_t>{0u, PLAYER_CMD_MOVE, PLAYER_CMD_PAUSE, PLAYER_CMD_STOP,
                                             PLAYER_CMD_ACTIVATE});
        CHECK(LoadLE32s(back.writes[1].data() + 36) == 5);
    }
    SUBCASE("a connect while the failure's box is open is handed over: the loop ends when the box is answered")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PLAY);
        q.QueuePlayerCommand(PLAYER_CMD_MOVE, 1, 2);
        q.QueuePlayerCommand(PLAYER_CMD_STOP);
        CHECK_FALSE(q.HandOverRestart({CCommand::OpenFile(u"x.avi")}));   // no box: the window waits for the end
        CHECK(q.Count() == 3);
        FakePlatform p;
        p.failWrite = true;
        p.queue = &q;
        p.connectDuringBox = {CCommand::OpenFile(u"x.avi"), CCommand::Player(PLAYER_CMD_SEEK, 40)};
        p.connectsDuringBox = 2;   // the second connect's resend replaces the first's
        RunPlayerCommandLoop(q, p);
        CHECK(p.handedOver);
        CHECK(p.boxes.size() == 1);
        CHECK(p.writes.size() == 1);   // nothing more on the broken channel
        CHECK(p.stopWaits == std::vector<uint32_t>{kDisconnectSettleMs});
        // The next run takes the connect's commands first, the stale place dropped.
        CHECK(q.TakeRestart());
        CHECK_FALSE(q.TakeRestart());
        FakePlatform fresh;
        RunPlayerCommandLoop(q, fresh);
        std::vector<uint32_t> codes;
        for (const auto &w : fresh.writes)
            codes.push_back(w.size() == 560 ? 0u : Code(w));
        CHECK(codes == std::vector<uint32_t>{0u, PLAYER_CMD_SEEK, PLAYER_CMD_STOP});
        CHECK(fresh.boxes.empty());
    }
    SUBCASE("a failed write the session's disconnect explains goes to the box gate, which writes its line")
    {
        static bool s_connected;
        s_connected = false;
        SetErrorBoxGate([] { return s_connected; });
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PAUSE);
        FakePlatform p;
        p.failWrite = true;
        p.dropSessionOnWrite = true;
        RunPlayerCommandLoop(q, p);
        SetErrorBoxGate(nullptr);
        CHECK(p.boxes.empty());
        CHECK(g_boxes.empty());
        CHECK(Logged(L"Box not shown, the session is disconnected: Failed to transmit data to client!\r\n"));
        CHECK(q.Count() == 1);
    }
    SUBCASE("a failed wait ends the loop with its log line")
    {
        RunningQueue q;
        q.QueuePlayerCommand(PLAYER_CMD_PLAY);
        FakePlatform p;
        p.failWait = true;
        RunPlayerCommandLoop(q, p);
        CHECK(p.writes.empty());
        CHECK(Logged(L"\r\nProcessFileRpc:WaitForMultipleObjects failed dwEvent = -1\r\n"));
    }
}

namespace {

struct FakeLaunch
{
    ServerMarker marker = ServerMarker::Created;
    std::u16string path = u"C:\\Program Files\\Tarsel\\PyxVideoServer.exe";
    bool startOk = true;
    ReadyWait ready = ReadyWait::Ready;
    std::vector<std::string> calls;
    std::u16string started;
    std::u16string folder;
};
FakeLaunch g_launch;

const LaunchOps kFakeLaunch{
    [] { return g_launch.calls.push_back("marker"), g_launch.marker; },
    [](WireChar (&path)[kPathUnits]) {
        g_launch.calls.push_back("compose");
        std::copy(g_launch.path.begin(), g_launch.path.end(), path);
        path[g_launch.path.size()] = 0;
        return g_launch.path.size();
    },
    [](const WireChar *path, const WireChar *folder, uint32_t *error) {
        g_launch.calls.push_back("start");
        g_launch.started = path;
        g_launch.folder = folder ? folder : u"<player's>";
        *error = 2;
        return g_launch.startOk;
    },
    [](uint32_t ms, uint32_t *error) {
        CHECK(ms == 3000);
        *error = 6;
        return g_launch.calls.push_back("wait"), g_launch.ready;
    },
};

} // namespace

TEST_CASE("the channel's open after a connect: tried every second for ten seconds, a stop ends the tries")
{
    std::vector<uint32_t> waits;
    int tries = 0;
    int failures = 0;
    bool stopAt = false;
    const auto open = [&] { return ++tries > failures; };
    const auto waitForStop = [&](uint32_t ms) {
        waits.push_back(ms);
        return stopAt && waits.size() == 2;
    };
    failures = 3;   // the client's player listens 3 s late
    CHECK(OpenPlayerChannelWithRetry(true, open, waitForStop));
    CHECK(tries == 4);
    CHECK(waits == std::vector<uint32_t>(3, kChannelOpenRetryMs));

    tries = 0;
    waits.clear();
    failures = 100;   // never: 10 s of tries, then it gives up
    CHECK_FALSE(OpenPlayerChannelWithRetry(true, open, waitForStop));
    CHECK(tries == 11);
    CHECK(waits.size() * kChannelOpenRetryMs == kChannelOpenRetryForMs);

    tries = 0;
    waits.clear();
    stopAt = true;
    CHECK_FALSE(OpenPlayerChannelWithRetry(true, open, waitForStop));
    CHECK(tries == 2);

    tries = 0;
    waits.clear();
    CHECK_FALSE(OpenPlayerChannelWithRetry(false, open, waitForStop));   // not after a connect: once
    CHECK(tries == 1);
    CHECK(waits.empty());
}

TEST_CASE("LaunchServer: every way it ends, with its box or log line")
{
    Hooks hooks;
    g_launch = FakeLaunch{};
    SetLaunchOps(&kFakeLaunch);
    using Calls = std::vector<std::string>;

    SUBCASE("no server: started from the composed path and ready in time")
    {
        CHECK(LaunchServer());
        CHECK(g_launch.calls == Calls{"marker", "compose", "start", "wait"});
        CHECK(g_launch.started == g_launch.path);
        // In its own folder, never the player's (the folder of the file).
        CHECK(g_launch.folder == u"C:\\Program Files\\Tarsel\\");
        CHECK(Logged(L"Server activated OK!\r\n"));
        CHECK(g_boxes.empty());
    }
    SUBCASE("a server runs: nothing started, nothing waited for, one log line")
    {
        g_launch.marker = ServerMarker::AlreadyExists;
        CHECK(LaunchServer());
        CHECK(g_launch.calls == Calls{"marker"});
        CHECK(Logged(L"Server already running!!!!\r\n"));
        CHECK(g_boxes.empty());
    }
    SUBCASE("the marker cannot be created")
    {
        g_launch.marker = ServerMarker::Failed;
        CHECK_FALSE(LaunchServer());
        CHECK(g_boxes == std::vector<std::wstring>{L"Failed to create a global event, Check debug log..."});
        CHECK(Logged(L"Failed to create a global event\r\n"));
    }
    SUBCASE("no installation values: false without any message")
    {
        g_launch.path.clear();
        CHECK_FALSE(LaunchServer());
        CHECK(g_launch.calls == Calls{"marker", "compose"});
        CHECK(g_boxes.empty());
    }
    SUBCASE("the process does not start: a log line with the error, no box")
    {
        g_launch.startOk = false;
        CHECK_FALSE(LaunchServer());
        CHECK(Logged(L"CreateProcess failed (2).\n"));
        CHECK(g_boxes.empty());
    }
    SUBCASE("the server is not ready within 3000 ms, or its event cannot be made")
    {
        g_launch.ready = ReadyWait::Timeout;
        CHECK_FALSE(LaunchServer());
        g_launch.ready = ReadyWait::CreateFailed;
        CHECK_FALSE(LaunchServer());
        CHECK(g_boxes == std::vector<std::wstring>{L"Server didn't activate properly!!!!, Timeout!\r\n",
                                                   L"Failed to create a global server ready event"});
    }
    SUBCASE("a wait that fails is no ready signal")
    {
        g_launch.ready = ReadyWait::WaitFailed;
        CHECK_FALSE(LaunchServer());
        CHECK(Logged(L"Waiting for the server ready event failed (6).\r\n"));
        CHECK_FALSE(Logged(L"Server activated OK!"));
        CHECK(g_boxes.empty());
    }
    SUBCASE("a server path without a folder starts in the player's folder")
    {
        g_launch.path = u"PyxVideoServer.exe";
        CHECK(LaunchServer());
        CHECK(g_launch.folder == u"<player's>");
        CHECK(ProgramFolder(u"C:/Tarsel/PyxVideoServer.exe") == u"C:/Tarsel/");
    }
}

TEST_CASE("after a reconnect: file, slider, sound, pause and area in this order; without a file the sound and area only")
{
    PlayerResumeState state;
    const std::u16string name = u"C:\\media\\film.avi";
    state.file = name.c_str();
    state.sliderPercent = 37;
    state.volume = 40;
    state.paused = true;
    state.area = {{PLAYER_CMD_MOVE, 10, 20, 0, 0, L""}, {PLAYER_CMD_SIZE, 0, 0, 300, 200, L""}};
    auto codes = [](const std::vector<CCommand> &commands) {
        std::vector<std::pair<uint32_t, int32_t>> out;
        for (const CCommand &c : commands)
            out.emplace_back(c.dwCommandType == COMMAND_OPEN_FILE ? 0u : c.dwCommand, c.nParam1);
        return out;
    };
    using Want = std::vector<std::pair<uint32_t, int32_t>>;
    const std::vector<CCommand> all = BuildResumeCommands(state);
    CHECK(codes(all) == Want{{0, 0}, {PLAYER_CMD_SEEK, 37}, {PLAYER_CMD_VOLUME, 40}, {PLAYER_CMD_PAUSE, 0},
                             {PLAYER_CMD_MOVE, 10}, {PLAYER_CMD_SIZE, 0}});
    CHECK(std::u16string(all[0].szFileName) == name);

    state.muted = true;
    state.paused = false;
    CHECK(codes(BuildResumeCommands(state))[2] == std::make_pair(uint32_t{PLAYER_CMD_MUTE}, 0));
    state.file = nullptr;
    state.paused = true;
    CHECK(codes(BuildResumeCommands(state)) == Want{{PLAYER_CMD_MUTE, 0}, {PLAYER_CMD_MOVE, 10}, {PLAYER_CMD_SIZE, 0}});
}
