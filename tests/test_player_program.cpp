// The real PyxUserInterface.exe, with the real PyxVideoServer.exe it starts,
// driven as a user would: started with command lines, its buttons, sliders
// and menu reached through window messages, its window moved and sized, its
// boxes found and pressed; the client emulator in this process plays the
// client player and the client device.
#include "doctest.h"

#include "checksum.h"
#include "installation_guard.h"
#include "notify.h"
#include "player_msg.h"
#include "player_session.h"
#include "program_stage.h"
#include "resource.h"
#include "win_test_util.h"

#include <commctrl.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include <string>
#include <vector>

using loopback::PlayerEvent;

using wintest::PlayerClient;
using wintest::TempFile;
using wintest::WaitUntil;

namespace {

struct Player
{
    wintest::Process process;
    HWND window = nullptr;
    bool Start(const std::wstring &stage, const std::wstring &args, const std::wstring &folder = L"")
    {
        return process.Start(L"\"" + stage + L"PyxUserInterface.exe\"" + (args.empty() ? L"" : L" " + args),
                             (folder.empty() ? stage : folder).c_str());
    }
    HWND Window()
    {
        if (!window)
            window = wintest::WaitForPlayerWindow(process.Pid());
        return window;
    }
    DWORD Ended(DWORD ms = 10000)
    {
        DWORD code = 0xDEAD;
        process.Wait(ms, &code);
        return code;
    }
};

// Everything a test needs: an ICA session (Wine's console with the service),
// installation values naming the staged programs, the client emulator, and
// no server or player left over.
struct Session
{
    wintest::BoxWatcher boxes;
    std::wstring stage = wintest::ExeFolder() + L"player_program\\";
    std::unique_ptr<wintest::InstallationValues> installation;
    Session(bool withValues = true)
    {
        REQUIRE(wintest::EnsureService(L"HalvernService"));
        REQUIRE(wintest::StagePrograms(stage));
        if (withValues)
            installation = std::make_unique<wintest::InstallationValues>(stage);
        else
            wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
        // Wine draws the frame itself without a window manager.
        wintest::SetString(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\PyxUserInterface.exe\\X11 Driver",
                           L"Managed", L"N");
    }
    ~Session()
    {
        wintest::StopServers();
        wintest::RemoveService(L"HalvernService");
    }
};

uint16_t Checksum(const std::wstring &name)
{
    return NameChecksum(reinterpret_cast<const WireChar *>(name.c_str()), name.size());
}

std::wstring Name(const PlayerEvent &e) { return std::wstring(e.message.name.begin(), e.message.name.end()); }

// The commands (code and first value) that arrived since the mark.
std::vector<std::pair<uint32_t, int32_t>> Commands(const PlayerClient &client)
{
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (const PlayerEvent &e : client.Since()) {
        if (e.message.kind == PlayerMessage::kControl)
            out.emplace_back(e.message.control.dwCommand, e.message.control.nParam1);
        else if (e.message.kind == PlayerMessage::kOpen)
            out.emplace_back(0, 0);
    }
    return out;
}

void Notify(HWND window, uint32_t code, uint16_t checksum, int32_t lParam, uint32_t origin = 0)
{
    static const UINT message = RegisterWindowMessageW(kServerNotificationName);
    SendMessageW(window, message, MakeNotifyWParam(code, origin, checksum), lParam);
}

int Slider(HWND window) { return static_cast<int>(SendDlgItemMessageW(window, IDC_POSITION, TBM_GETPOS, 0, 0)); }

// The lowest value a slider showed while watched, looked at every 10 ms.
class SliderWatch
{
public:
    explicit SliderWatch(HWND slider)
        : m_thread([this, slider] {
              while (!m_stop) {
                  DWORD_PTR pos = 0;
                  if (SendMessageTimeoutW(slider, TBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &pos) != 0 &&
                      static_cast<int>(pos) < m_lowest)
                      m_lowest = static_cast<int>(pos);
                  Sleep(10);
              }
          })
    {
    }
    ~SliderWatch()
    {
        m_stop = true;
        m_thread.join();
    }
    int Lowest() const { return m_lowest; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_lowest{100};
    std::thread m_thread;
};

} // namespace

TEST_CASE("a double-clicked file plays through both programs, and a second start hands over its file")
{
    Session session;
    PlayerClient client;
    TempFile media(3 << 20, L"pyx_play");
    // As after a double click, the player's current folder is the file's,
    // and copies of the channel libraries lie there: neither program loads
    // them, and the server starts in its own folder.
    const std::wstring mediaFolder = wintest::ExeFolder() + L"player_planted\\";
    REQUIRE(wintest::PlantLibraries(mediaFolder));
    wintest::LibraryLoads loads;
    Player player;
    client.Mark();
    REQUIRE(player.Start(session.stage, L"\"" + media.Path() + L"\"", mediaFolder));
    PlayerEvent open, volume;
    REQUIRE(client.WaitFor(0, 15000, &open));
    CHECK(Name(open) == media.Path());
    REQUIRE(client.WaitFor(PLAYER_CMD_VOLUME, 3000, &volume));
    CHECK(volume.message.control.nParam1 == 100);
    HWND window = player.Window();
    REQUIRE(window);
    CHECK(wintest::ControlText(window, IDC_FILE_NAME) == media.Path());

    // The client player opened it on the server, whose notifications move
    // the window's status line and slider.
    CHECK(WaitUntil([&] { return wintest::ControlText(window, IDC_STATUS).rfind(L"Playing.....", 0) == 0; }, 15000));
    CHECK(WaitUntil([&] { return client.Snapshot().atEnd; }, 20000));
    CHECK(WaitUntil([&] { return Slider(window) == 100; }, 5000));
    const loopback::PlayerSummary read = client.Snapshot();
    CHECK(read.bytes >= (3u << 20));
    CHECK(read.mismatches == 0);
    CHECK(read.protocolErrors == 0);

    // The slider's seek to the middle and play make the client read the
    // second half again; pause stops it, stop closes the file on the server.
    HWND position = GetDlgItem(window, IDC_POSITION);
    SendMessageW(position, TBM_SETPOS, TRUE, 50);
    PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 50), reinterpret_cast<LPARAM>(position));
    PostMessageW(window, WM_COMMAND, ID_PLAYER_PLAY, 0);
    CHECK(WaitUntil([&] { return client.Snapshot().plays == 1 && client.Snapshot().atEnd; }, 20000));
    CHECK(client.Snapshot().seeks == 1);
    CHECK(client.Snapshot().bytes >= read.bytes + (3u << 19));
    CHECK(loads.From(mediaFolder) == 0);
    CHECK(loads.From(session.stage) == 4);   // both libraries, in each program
    CHECK(loads.Paths().size() == 4);
    PostMessageW(window, WM_COMMAND, ID_PLAYER_PAUSE, 0);
    CHECK(WaitUntil([&] { return !client.Snapshot().playing; }, 5000));
    PostMessageW(window, WM_COMMAND, ID_PLAYER_STOP, 0);
    CHECK(WaitUntil([&] { return !client.Snapshot().open; }, 5000));
    CHECK(WaitUntil([&] { return media.IsClosedByServer(); }, 5000));
    CHECK(client.Snapshot().mismatches == 0);

    const std::wstring out = wintest::BuildFolder() + L"test-output\\";
    CreateDirectoryW(out.c_str(), nullptr);
    CHECK(wintest::SaveWindowBitmap(window, out + L"player_window.bmp"));

    // A second start with another file: it ends with 0 and the first window
    // shows and sends the new file.
    TempFile other(70000, L"pyx_other");
    client.Mark();
    Player second;
    REQUIRE(second.Start(session.stage, L"\"" + other.Path() + L"\" ignored words"));
    CHECK(second.Ended() == 0);
    REQUIRE(client.WaitFor(0, 5000, &open));
    CHECK(Name(open) == other.Path());
    CHECK(wintest::ControlText(window, IDC_FILE_NAME) == other.Path());

    // Without a file, and with a command line too long to be a name, the
    // current file is sent again.
    for (const std::wstring &args : {std::wstring(), std::wstring(300, L'x')}) {
        client.Mark();
        Player again;
        REQUIRE(again.Start(session.stage, args));
        CHECK(again.Ended() == 0);
        REQUIRE(client.WaitFor(0, 5000, &open));
        CHECK(Name(open) == other.Path());
    }
    CHECK(session.boxes.Texts().empty());

    // File, Exit ends it with 32773, and the next start is a first start.
    PostMessageW(window, WM_COMMAND, ID_APP_EXIT, 0);
    CHECK(player.Ended() == 32773);
    Player next;
    REQUIRE(next.Start(session.stage, L""));
    REQUIRE(next.Window());
    PostMessageW(next.Window(), WM_COMMAND, IDCANCEL, 0);   // Escape
    CHECK(next.Ended() == 2);
}

TEST_CASE("a disconnect in the middle of a play: no box, and after the reconnect the play goes on where it was")
{
    Session session;
    loopback::PlayerOptions options;
    options.playKbps = 12000;   // 1.5 MB/s: the file takes about 4 s
    PlayerClient client(options);
    const uint32_t size = 6u << 20;
    TempFile media(size, L"pyx_roam");
    // The player's trace; a failed write can be made to report the network
    // drop as the session's disconnect at once (well within the 500 ms the
    // player gives the session to show it).
    std::atomic<DWORD> playerPid{0};
    std::atomic<bool> disconnectOnFailedWrite{false};
    wintest::TraceCapture traces([&](DWORD pid, const std::string &text) {
        if (pid == playerPid && disconnectOnFailedWrite && text.find("Written 0 bytes") != std::string::npos) {
            disconnectOnFailedWrite = false;
            client.Device().Disconnect();
        }
    });
    REQUIRE(traces.Listening());
    Player player;
    REQUIRE(player.Start(session.stage, L"\"" + media.Path() + L"\""));
    playerPid = player.process.Pid();
    REQUIRE(client.WaitFor(PLAYER_CMD_VOLUME, 15000));
    HWND window = player.Window();
    REQUIRE(window);
    HWND volume = GetDlgItem(window, IDC_VOLUME);
    const auto setVolume = [&](int value) {
        SendMessageW(volume, TBM_SETPOS, TRUE, value);
        PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, value), reinterpret_cast<LPARAM>(volume));
    };
    setVolume(40);
    REQUIRE(client.WaitFor(PLAYER_CMD_VOLUME, 3000));
    REQUIRE(WaitUntil([&] { return client.Snapshot().position >= size / 3; }, 15000));

    double playerLateSeconds = 0;
    HWND box = nullptr;
    client.Mark();
    SUBCASE("a write fails while the session reads disconnected: the gate of the real program holds its box back")
    {
        client.Device().LoseChannels();
        disconnectOnFailedWrite = true;
        setVolume(50);
        REQUIRE(WaitUntil([&] { return !client.Device().IsConnected(); }, 10000));
        CHECK(traces.WaitFor(playerPid, "Box not shown, the session is disconnected: Failed to transmit data to client!",
                             5000));
    }
    SUBCASE("the network drops first: the write's box is open at the disconnect and at the reconnect")
    {
        session.boxes.Pause(true);
        client.Device().LoseChannels();
        setVolume(50);
        box = wintest::WaitForTopLevel(L"Error!", 15000, playerPid);
        REQUIRE(box);
        CHECK(wintest::MessageBoxText(box) == L"Failed to transmit data to client!");
        client.Device().Disconnect();
    }
    SUBCASE("the client's player listens 3 s after the reconnect")
    {
        playerLateSeconds = 3;
        client.Device().Disconnect();
    }

    // While disconnected the user moves the window and the volume slider:
    // the commands wait, and no box tells of a failed write.
    Sleep(300);
    RECT rc{};
    GetWindowRect(window, &rc);
    SetWindowPos(window, nullptr, rc.left + 16, rc.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    setVolume(60);
    Sleep(1500);
    std::string error;
    const DWORD reconnected = GetTickCount();
    REQUIRE_MESSAGE(client.Device().Reconnect(&error, playerLateSeconds), error);
    // From here the slider never shows 0 %: it stays where the play goes on.
    SliderWatch slider(GetDlgItem(window, IDC_POSITION));
    if (box) {
        // A connect never waits on a box: the window answers at once, and
        // the re-send goes out once the box is answered.
        DWORD_PTR answer = 0;
        CHECK(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 3000, &answer) != 0);
        Sleep(500);
        CHECK(IsWindow(box));
        wintest::PressButton(box, IDOK);
        session.boxes.Pause(false);
    }
    // The player tells the fresh client player the file, where the slider
    // stood, the volume and the video area's place and size, in this order;
    // then what waited, without the stale move.
    REQUIRE(WaitUntil([&] { return Commands(client).size() >= 6; }, 20000));
    client.WaitQuiet(500);
    std::vector<std::pair<uint32_t, int32_t>> sent = Commands(client);
    // The answered box gives the window back its activation.
    if (box && !sent.empty() && sent.back().first == PLAYER_CMD_ACTIVATE)
        sent.pop_back();
    std::string listed;
    for (const auto &c : sent)
        listed += std::to_string(c.first) + ":" + std::to_string(c.second) + " ";
    INFO("sent: " << listed);
    REQUIRE(sent.size() == 6);
    CHECK(sent[0].first == 0);
    CHECK(sent[1].first == PLAYER_CMD_SEEK);
    CHECK(sent[2] == std::make_pair(uint32_t{PLAYER_CMD_VOLUME}, 60));
    CHECK(sent[3].first == PLAYER_CMD_MOVE);
    CHECK(sent[4].first == PLAYER_CMD_SIZE);
    CHECK(sent[5] == std::make_pair(uint32_t{PLAYER_CMD_VOLUME}, 60));
    if (playerLateSeconds > 0) {
        // The thread tried the channel again until the client's player listened.
        const std::vector<PlayerEvent> events = client.Since();
        REQUIRE_FALSE(events.empty());
        CHECK(GetTickCount() - reconnected >= 2500);
        CHECK(traces.Texts(playerPid, "WFVirtualChannelOpen fails").size() >= 2);
    }

    REQUIRE(WaitUntil([&] { return client.Snapshot().atEnd; }, 20000));
    const int lowestSlider = slider.Lowest();
    CHECK(lowestSlider > 0);
    const loopback::PlayerSummary s = client.Snapshot();
    CHECK(s.reconnects == 1);
    REQUIRE(s.disconnectedAt >= 0);
    REQUIRE(s.resumedAt >= 0);
    CHECK(std::abs(s.resumedAt - s.disconnectedAt) <= static_cast<int64_t>(size / 20));
    CHECK(s.mismatches == 0);
    CHECK(s.protocolErrors == 0);
    CHECK(s.failures == 0);
    MESSAGE("disconnected at byte " << s.disconnectedAt << ", resumed at " << s.resumedAt << " of " << size
            << "; first byte " << s.firstByteAfterReconnectMs << " ms after the reconnect; slider at least "
            << lowestSlider << " %");
    CHECK(session.boxes.Texts().empty());

    // Both programs end as usual.
    HWND server = wintest::ServerDialog(0);
    REQUIRE(server);
    DWORD serverPid = 0;
    GetWindowThreadProcessId(server, &serverPid);
    CHandle serverProcess(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid));
    REQUIRE(serverProcess);
    PostMessageW(window, WM_COMMAND, ID_APP_EXIT, 0);
    CHECK(player.Ended() == 32773);
    CHECK(wintest::StopServers());
    DWORD serverCode = 0xDEAD;
    CHECK(WaitForSingleObject(serverProcess.Get(), 10000) == WAIT_OBJECT_0);
    CHECK(GetExitCodeProcess(serverProcess.Get(), &serverCode));
    CHECK(serverCode == 0);
}

TEST_CASE("the session drops while the player starts: after the reconnect the file plays")
{
    Session session;
    loopback::PlayerOptions options;
    options.playKbps = 0;
    PlayerClient client(options);
    TempFile media(1u << 20, L"pyx_roam_start");
    wintest::TraceCapture traces;
    REQUIRE(traces.Listening());
    // The user double-clicks the file as the network drops: the player's
    // first thread finds no channel and ends, no box is shown.
    client.Device().Disconnect();
    Player player;
    REQUIRE(player.Start(session.stage, L"\"" + media.Path() + L"\""));
    const DWORD playerPid = player.process.Pid();
    CHECK(traces.WaitFor(playerPid, "Box not shown, the session is disconnected: PyxPlayerControl terminated early", 15000));
    std::string error;
    REQUIRE_MESSAGE(client.Device().Reconnect(&error), error);
    // The resume's commands wake the fresh thread: the file goes out and
    // plays to its end.
    REQUIRE(WaitUntil([&] { return client.Snapshot().atEnd; }, 20000));
    const std::vector<std::pair<uint32_t, int32_t>> sent = Commands(client);
    REQUIRE_FALSE(sent.empty());
    CHECK(sent[0].first == 0);
    const loopback::PlayerSummary s = client.Snapshot();
    CHECK(s.mismatches == 0);
    CHECK(s.failures == 0);
    CHECK(session.boxes.Texts().empty());
    PostMessageW(player.Window(), WM_COMMAND, ID_APP_EXIT, 0);
    CHECK(player.Ended() == 32773);
    CHECK(wintest::StopServers());
}

TEST_CASE("every control of the window sends its command")
{
    Session session;
    PlayerClient client;
    TempFile media(200000, L"pyx_ctl");
    Player player;
    REQUIRE(player.Start(session.stage, L"\"" + media.Path() + L"\""));
    HWND window = player.Window();
    REQUIRE(window);
    REQUIRE(client.WaitFor(PLAYER_CMD_VOLUME, 15000));
    client.WaitQuiet(400);

    SUBCASE("tool-bar buttons, the blank ones nothing; mute then unmute restores the volume")
    {
        client.Mark();
        const UINT buttons[] = {ID_PLAYER_REWIND, ID_PLAYER_BLANK, ID_PLAYER_FAST_FORWARD, ID_PLAYER_SKIP_BACK,
                                ID_PLAYER_SKIP_FORWARD, ID_PLAYER_STEP, ID_PLAYER_FULL_SCREEN, ID_PLAYER_AUDIO_OFF,
                                ID_PLAYER_PAUSE, ID_PLAYER_PLAY, ID_PLAYER_MUTE, ID_PLAYER_SOUND_ON,
                                ID_PLAYER_STOP, ID_PLAYER_KILL_PLAYER};
        for (UINT id : buttons) {
            PostMessageW(window, WM_COMMAND, id, 0);
            Sleep(150);   // one at a time, so none merges with the next
        }
        client.WaitQuiet(500);
        const std::vector<std::pair<uint32_t, int32_t>> want = {
            {PLAYER_CMD_REWIND, 0},      {PLAYER_CMD_FAST_FORWARD, 0}, {PLAYER_CMD_SKIP_BACK, 0},
            {PLAYER_CMD_SKIP_FORWARD, 0}, {PLAYER_CMD_STEP, 0},        {PLAYER_CMD_FULL_SCREEN, 0},
            {PLAYER_CMD_AUDIO_OFF, 0},   {PLAYER_CMD_PAUSE, 0},       {PLAYER_CMD_PLAY, 0},
            {PLAYER_CMD_MUTE, 0},        {PLAYER_CMD_VOLUME, 100},    {PLAYER_CMD_STOP, 0},
            {PLAYER_CMD_KILL_PLAYER, 0}};
        CHECK(Commands(client) == want);
        CHECK(SendDlgItemMessageW(window, IDC_VOLUME, TBM_GETPOS, 0, 0) == 100);

        // Alt+Enter's hot key.
        client.Mark();
        PostMessageW(window, WM_HOTKEY, 0, MAKELPARAM(MOD_ALT, VK_RETURN));
        CHECK(client.WaitFor(PLAYER_CMD_FULL_SCREEN, 3000));
    }
    SUBCASE("sliders: a fast run arrives merged, equal values are not sent again, a seek holds the slider")
    {
        HWND volume = GetDlgItem(window, IDC_VOLUME);
        HWND position = GetDlgItem(window, IDC_POSITION);
        PostMessageW(window, WM_COMMAND, ID_PLAYER_PAUSE, 0);   // no reads meanwhile
        client.WaitQuiet(400);
        // The volume slider's first value is sent even when it is 0.
        client.Mark();
        PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 0), reinterpret_cast<LPARAM>(volume));
        client.WaitQuiet(400);
        CHECK(Commands(client) == std::vector<std::pair<uint32_t, int32_t>>{{PLAYER_CMD_VOLUME, 0}});
        client.Mark();
        for (int v = 90; v >= 40; v -= 5)
            PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, v), reinterpret_cast<LPARAM>(volume));
        PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 40), reinterpret_cast<LPARAM>(volume));
        client.WaitQuiet(400);
        const auto volumes = Commands(client);
        REQUIRE_FALSE(volumes.empty());
        CHECK(volumes.size() < 11);
        CHECK(volumes.back() == std::make_pair(uint32_t{PLAYER_CMD_VOLUME}, 40));

        // The position slider: SEEK, then the next five reads leave it alone.
        const uint16_t mine = Checksum(media.Path());
        Notify(window, NOTIFY_FILE_SIZE, mine, 1000000);
        client.Mark();
        SendMessageW(position, TBM_SETPOS, TRUE, 30);
        PostMessageW(window, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 30), reinterpret_cast<LPARAM>(position));
        PlayerEvent seek;
        REQUIRE(client.WaitFor(PLAYER_CMD_SEEK, 3000, &seek));
        CHECK(seek.message.control.nParam1 == 30);
        // (the client player's own seek may have sent notifications; the
        // position is set again from here)
        Notify(window, NOTIFY_SEEK, mine, 0);
        for (int i = 0; i < 5; ++i) {
            Notify(window, NOTIFY_READ, mine, 100000);
            CHECK(Slider(window) == 30);
        }
        Notify(window, NOTIFY_READ, mine, 100000);
        CHECK(Slider(window) == 60);
    }
    SUBCASE("another scale: at 150 % the layout rules hold and nothing overlaps; back at 100 % all is as it was")
    {
        // Wine never changes scale, so the message comes from here. The
        // system sends it with a rectangle of the window's own process;
        // from another process the player must not read it (here: a
        // pointer of this process), and the window is sized as suggested by
        // hand, as the system would.
        struct Child
        {
            HWND hwnd;
            RECT rc;   // client coordinates
        };
        const auto children = [&] {
            std::vector<Child> out;
            for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                if (!IsWindowVisible(c))
                    continue;
                RECT rc{};
                GetWindowRect(c, &rc);
                MapWindowPoints(nullptr, window, reinterpret_cast<POINT *>(&rc), 2);
                out.push_back({c, rc});
            }
            return out;
        };
        const auto overlaps = [](const std::vector<Child> &all) {
            int n = 0;
            for (size_t i = 0; i < all.size(); ++i)
                for (size_t j = i + 1; j < all.size(); ++j) {
                    RECT both{};
                    n += IntersectRect(&both, &all[i].rc, &all[j].rc) ? 1 : 0;
                }
            return n;
        };
        const auto find = [](const std::vector<Child> &all, HWND h) {
            for (const Child &c : all)
                if (c.hwnd == h)
                    return c.rc;
            return RECT{};
        };
        const auto minTrack = [&] {
            MINMAXINFO info{};
            SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
            return info.ptMinTrackSize;
        };
        const auto within = [](long got, long want) { return got >= want - 2 && got <= want + 2; };
        HWND toolbar = GetDlgItem(window, ID_TOOLBAR_WINDOW);
        HWND area = GetDlgItem(window, IDC_VIDEO_AREA);
        HWND status = GetDlgItem(window, IDC_STATUS);
        HWND volume = GetDlgItem(window, IDC_VOLUME);
        REQUIRE(toolbar);
        RECT original{}, client{};
        GetWindowRect(window, &original);
        GetClientRect(window, &client);
        const std::vector<Child> before = children();
        const POINT min96 = minTrack();
        const LRESULT button96 = SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0);
        CHECK(overlaps(before) == 0);

        RECT suggested = {original.left, original.top, original.left + MulDiv(original.right - original.left, 3, 2),
                          original.top + MulDiv(original.bottom - original.top, 3, 2)};
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
        REQUIRE(IsWindow(window));
        SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                     suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
        RECT now{}, client144{};
        GetWindowRect(window, &now);
        GetClientRect(window, &client144);
        INFO("window " << now.left << "," << now.top << "," << now.right << "," << now.bottom << " suggested "
                       << suggested.left << "," << suggested.top << "," << suggested.right << "," << suggested.bottom);
        CHECK(EqualRect(&now, &suggested));
        const std::vector<Child> large = children();
        CHECK(overlaps(large) == 0);
        CHECK(within(minTrack().x, min96.x * 3 / 2));
        CHECK(within(minTrack().y, min96.y * 3 / 2));
        CHECK(HIWORD(SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0)) >= HIWORD(button96) + 8);   // 24-pixel images
        // The rules at the new scale: places scaled, the video area and the
        // status line following the client area's edges by their scaled margins.
        const RECT area96 = find(before, area), area144 = find(large, area);
        CHECK(within(area144.left, area96.left * 3 / 2));
        CHECK(within(client144.right - area144.right, (client.right - area96.right) * 3 / 2));
        CHECK(within(client144.bottom - area144.bottom, (client.bottom - area96.bottom) * 3 / 2));
        const RECT status96 = find(before, status), status144 = find(large, status);
        CHECK(within(client144.bottom - status144.top, (client.bottom - status96.top) * 3 / 2));
        const RECT volume96 = find(before, volume), volume144 = find(large, volume);
        CHECK(within(volume144.left, volume96.left * 3 / 2));
        CHECK(within(volume144.bottom - volume144.top, (volume96.bottom - volume96.top) * 3 / 2));

        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&original));
        SetWindowPos(window, nullptr, original.left, original.top, original.right - original.left,
                     original.bottom - original.top, SWP_NOZORDER | SWP_NOACTIVATE);
        GetWindowRect(window, &now);
        CHECK(EqualRect(&now, &original));
        CHECK(minTrack().x == min96.x);
        CHECK(SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0) == button96);
        for (const Child &c : children()) {
            const RECT was = find(before, c.hwnd);
            CHECK(EqualRect(&c.rc, &was));
        }
    }
    SUBCASE("the window moved, sized, minimised and restored; activation")
    {
        // Activation first, while nothing else moves the window.
        // One at a time: two neighbouring activations queued together merge.
        std::vector<std::pair<uint32_t, int32_t>> activations;
        const auto activate = [&](WPARAM wParam) {
            client.WaitQuiet(400);
            client.Mark();
            PostMessageW(window, WM_ACTIVATE, wParam, 0);
            client.WaitFor(PLAYER_CMD_ACTIVATE, 1500);
            for (const auto &c : Commands(client)) {
                if (c.first == PLAYER_CMD_ACTIVATE)
                    activations.push_back(c);
            }
        };
        // Alt+Enter belongs to the player only while it is active: another
        // program can take it meanwhile.
        const auto altEnterFree = [] {
            if (!RegisterHotKey(nullptr, 0x7001, MOD_ALT, VK_RETURN))
                return false;
            UnregisterHotKey(nullptr, 0x7001);
            return true;
        };
        activate(MAKEWPARAM(WA_ACTIVE, 0));
        CHECK_FALSE(altEnterFree());
        activate(MAKEWPARAM(WA_INACTIVE, 0));
        CHECK(altEnterFree());
        activate(MAKEWPARAM(WA_INACTIVE, 1));   // while minimised: nothing
        CHECK(altEnterFree());
        const std::vector<std::pair<uint32_t, int32_t>> want = {{PLAYER_CMD_ACTIVATE, 1}, {PLAYER_CMD_ACTIVATE, 120}};
        CHECK(activations == want);

        client.Mark();
        RECT rc{};
        GetWindowRect(window, &rc);
        SetWindowPos(window, nullptr, rc.left + 30, rc.top + 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        PlayerEvent move, size;
        REQUIRE(client.WaitFor(PLAYER_CMD_MOVE, 3000, &move));
        client.Mark();
        SetWindowPos(window, nullptr, 0, 0, rc.right - rc.left + 100, rc.bottom - rc.top + 60,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        REQUIRE(client.WaitFor(PLAYER_CMD_SIZE, 3000, &size));
        CHECK(size.message.control.nParam3 > 0);
        client.WaitQuiet(400);
        // The video area grew with the window, by exactly its growth.
        RECT area{};
        GetWindowRect(GetDlgItem(window, IDC_VIDEO_AREA), &area);
        CHECK(size.message.control.nParam3 == area.right - area.left);
        CHECK(size.message.control.nParam4 == area.bottom - area.top);

        client.Mark();
        ShowWindow(window, SW_MINIMIZE);
        CHECK(client.WaitFor(PLAYER_CMD_MINIMIZE, 3000));
        client.WaitQuiet(400);
        client.Mark();
        ShowWindow(window, SW_RESTORE);
        REQUIRE(client.WaitFor(PLAYER_CMD_SIZE, 3000, &size));
        client.WaitQuiet(400);
        for (const auto &c : Commands(client))
            CHECK(c.first != PLAYER_CMD_MOVE);

    }
    SUBCASE("the progress display follows only its own file")
    {
        PostMessageW(window, WM_COMMAND, ID_PLAYER_PAUSE, 0);
        client.WaitQuiet(400);
        const uint16_t mine = Checksum(media.Path());
        Notify(window, NOTIFY_READ, 0x1234, 4096);   // another file's
        const std::wstring before = wintest::ControlText(window, IDC_STATUS);
        CHECK(wintest::ControlText(window, IDC_STATUS) == before);
        Notify(window, NOTIFY_SERVER_ENDED, 0, 0);   // not before a file: ignored
        CHECK(wintest::ControlText(window, IDC_STATUS) == before);
        Notify(window, NOTIFY_FILE_OPENED, mine, 3);
        CHECK(wintest::ControlText(window, IDC_STATUS) == L"File opened by remote player");
        Notify(window, NOTIFY_SERVER_READY, mine, 0);
        CHECK(wintest::ControlText(window, IDC_STATUS).empty());
        Notify(window, NOTIFY_FILE_SIZE, mine, 50);   // a 50-byte file
        Notify(window, NOTIFY_SEEK, mine, 0);
        Notify(window, NOTIFY_READ, mine, 25);
        CHECK(Slider(window) == 50);
        CHECK(wintest::ControlText(window, IDC_STATUS) == L"Playing.....            0 kbytes from 0;");
        Notify(window, NOTIFY_FILE_CLOSED, mine, 3);
        CHECK(wintest::ControlText(window, IDC_STATUS).empty());
        CHECK(Slider(window) == 0);
    }
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    CHECK(player.Ended() == 2);
    CHECK(session.boxes.Texts().empty());
}

TEST_CASE("the open-file dialog: a typed path is sent, Cancel sends nothing")
{
    Session session;
    PlayerClient client;
    TempFile media(100000, L"pyx_dialog");
    Player player;
    REQUIRE(player.Start(session.stage, L""));
    HWND window = player.Window();
    REQUIRE(window);
    client.WaitQuiet(1500);

    for (const bool ok : {true, false}) {
        CAPTURE(ok);
        client.Mark();
        PostMessageW(window, WM_COMMAND, ID_FILE_PLAY, 0);
        HWND dialog = wintest::WaitForTopLevel(L"Open", 10000, player.process.Pid());
        REQUIRE(dialog);
        if (ok) {
            // The file-name box, where the dialog puts the focus for the
            // user to type.
            HWND edit = nullptr;
            const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
            REQUIRE(WaitUntil([&] {
                GUITHREADINFO info{};
                info.cbSize = sizeof info;
                edit = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
                return edit && wintest::ClassName(edit) == L"Edit";
            }, 5000));
            SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(media.Path().c_str()));
            wintest::PressButton(dialog, IDOK);
            PlayerEvent open;
            REQUIRE(client.WaitFor(0, 5000, &open));
            CHECK(Name(open) == media.Path());
            CHECK(wintest::ControlText(window, IDC_FILE_NAME) == media.Path());
        } else {
            wintest::PressButton(dialog, IDCANCEL);
            client.WaitQuiet(700);
            for (const auto &c : Commands(client))
                CHECK(c.first != 0);
        }
        CHECK(WaitUntil([&] { return !IsWindow(dialog); }, 5000));
    }
    PostMessageW(window, WM_COMMAND, ID_APP_EXIT, 0);
    CHECK(player.Ended() == 32773);
}

TEST_CASE("no installation values: no server, the window stays usable and says it is busy")
{
    Session session(false);
    Player player;
    TempFile media(1000, L"pyx_noserver");
    REQUIRE(player.Start(session.stage, L"\"" + media.Path() + L"\""));
    CHECK(session.boxes.WaitFor(L"No server is active!!!!", 15000));
    HWND window = player.Window();
    REQUIRE(window);
    // Once that box is answered the thread ends, and the window says it is
    // busy when asked to send the file again.
    CHECK(WaitUntil([] { return !wintest::FindTopLevel(L"Error!"); }, 5000));
    Sleep(500);
    session.boxes.Clear();
    PostMessageW(window, WM_COMMAND, IDOK, 0);
    CHECK(session.boxes.WaitFor(L"Can't process a command. Application is busy.....", 5000));

    // A second start is answered at once, while the running player's busy
    // box, shown after it answered, still waits for the user.
    {
        session.boxes.Clear();
        session.boxes.Pause(true);
        Player second;
        const DWORD start = GetTickCount();
        REQUIRE(second.Start(session.stage, L"\"" + media.Path() + L"\""));
        CHECK(second.Ended(8000) == 0);
        CHECK(GetTickCount() - start < 3000);
        session.boxes.Pause(false);
        CHECK(session.boxes.WaitFor(L"Can't process a new command line. Application is busy.....", 5000));
        Sleep(300);
        CHECK(session.boxes.Texts().size() == 1);
    }

    // A player that does not answer (held still by a debugger here) does not
    // hold a second start for ever: it gives up with its box.
    REQUIRE(DebugActiveProcess(player.process.Pid()));
    DebugSetProcessKillOnExit(FALSE);
    Player second;
    const DWORD start = GetTickCount();
    REQUIRE(second.Start(session.stage, L"\"" + media.Path() + L"\""));
    CHECK(session.boxes.WaitFor(L"Failed to pass a new file to the player.", 15000));
    CHECK(second.Ended(15000) == 0);
    CHECK(GetTickCount() - start < 12000);
    CHECK(DebugActiveProcessStop(player.process.Pid()));

    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    CHECK(player.Ended() == 2);
}
