// The client emulator as the client's media player. Natively: its checks of
// the player program's messages. Under Wine: the test plays the player
// program, writing those messages on the player channel with the project's
// channel classes, while the server's control thread serves the emulator.
#include "doctest.h"

#include "player_check.h"
#include "player_msg.h"

#include <string>
#include <vector>


namespace {

std::vector<unsigned char> Control(uint32_t command, int32_t param1 = 0)
{
    unsigned char m[kPlayerControlSize];
    ComposeControlMessage(m, 7, {command, param1, 0, 0, 0});
    return {m, m + sizeof m};
}

std::vector<unsigned char> Open(const std::u16string &name)
{
    unsigned char m[kPlayerOpenSize];
    ComposeOpenMessage(m, 7, name.data(), name.size());
    return {m, m + sizeof m};
}

std::vector<unsigned char> With(std::vector<unsigned char> m, size_t at, unsigned char value)
{
    m[at] = value;
    return m;
}

PlayerMessage::Kind KindOf(const std::vector<unsigned char> &m)
{
    // An exact copy, so that a read past the bytes is caught by the sanitizer.
    const std::vector<unsigned char> exact(m.begin(), m.end());
    return CheckPlayerMessage(exact.data(), exact.size()).kind;
}

// The player program's malformed messages: 51 bytes, channel 0, a name
// without zero padding, an unknown command.
std::vector<std::vector<unsigned char>> Malformed(const std::u16string &name)
{
    auto shortOne = Control(PLAYER_CMD_PLAY);
    shortOne.pop_back();
    auto channelZero = Control(PLAYER_CMD_PAUSE);
    StoreLE32s(channelZero.data() + hdr::kChannel, 0);
    return {shortOne, channelZero, With(Open(name), kOpenNameOffset + 2 * (name.size() + 1), 'x'), Control(0x00990000)};
}

} // namespace

TEST_CASE("player messages: accepted as composed, refused on any fault of size, header, code, value or padding")
{
    const std::u16string longest(kNameUnits, u'n');
    CHECK(PlayerMessageText(CheckPlayerMessage(Control(PLAYER_CMD_PAUSE).data(), kPlayerControlSize)) ==
          "CONT PAUSE 0 0 0 0");
    CHECK(PlayerMessageText(CheckPlayerMessage(Open(u"C:\\x\\sample.wav").data(), kPlayerOpenSize)) ==
          "RUOF name=C:\\x\\sample.wav");
    CHECK(CheckPlayerMessage(Open(longest).data(), kPlayerOpenSize).name == longest);   // no terminator
    for (const auto &good : {Control(PLAYER_CMD_SEEK, 0), Control(PLAYER_CMD_SEEK, 100), Control(PLAYER_CMD_VOLUME, 100),
                             Control(PLAYER_CMD_ACTIVATE, 1), Control(PLAYER_CMD_ACTIVATE, 120), Control(PLAYER_CMD_SKIP_BACK)})
        CHECK(KindOf(good) == PlayerMessage::kControl);
    unsigned char solicitation[kSolicitationSize];
    BuildSolicitation(solicitation, 3);
    CHECK(KindOf({solicitation, solicitation + sizeof solicitation}) == PlayerMessage::kSolicitation);

    std::vector<std::vector<unsigned char>> bad = Malformed(u"C:\\a.avi");
    const auto control = Control(PLAYER_CMD_STOP);
    const auto open = Open(u"C:\\a.avi");
    for (size_t n = 0; n < kPlayerControlSize; ++n)
        bad.emplace_back(control.begin(), control.begin() + n);
    bad.push_back(With(control, hdr::kDataSize, 21));
    auto longer = control;
    longer.push_back(0);
    bad.push_back(longer);
    bad.emplace_back(open.begin(), open.end() - 1);
    for (size_t at = hdr::kChunkIndex; at < kHeaderSize; ++at) {
        bad.push_back(With(control, at, 1));
        bad.push_back(With(open, at, 1));
    }
    bad.push_back(With(control, hdr::kChannel, 0xFF));                  // channel -1
    bad.push_back(With(open, hdr::kChannel, 0));
    bad.push_back(With(control, 0, 'X'));                               // unknown type
    bad.push_back(Control(PLAYER_CMD_SEEK, 101));
    bad.push_back(Control(PLAYER_CMD_SEEK, -1));
    bad.push_back(Control(PLAYER_CMD_VOLUME, 101));
    bad.push_back(Control(PLAYER_CMD_ACTIVATE, 2));
    bad.push_back(Control(PLAYER_CMD_PAUSE | 1));
    bad.push_back(Open(u""));
    bad.push_back(With(open, kOpenNameOffset + kNameBytes - 1, 1));   // the padding's last byte
    bad.push_back(With(open, 552, 1));                                  // the reserved words
    bad.push_back(With(open, 559, 1));
    bad.push_back(With(Open(longest), 552, 1));
    bad.emplace_back(solicitation, solicitation + sizeof solicitation - 1);
    for (const auto &m : bad) {
        CAPTURE(m.size());
        CHECK(KindOf(m) == PlayerMessage::kBad);
    }
}

#ifdef _WIN32

#include "api_sets_win.h"
#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "client_player.h"
#include "control_host.h"
#include "ica_share_win.h"
#include "server_test_util.h"
#include "handle_win.h"
#include "win_test_util.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using loopback::CClientPlayer;
using loopback::ClientDevice;
using loopback::PlayerEvent;
using loopback::PlayerOptions;
using loopback::PlayerSummary;
using wintest::TempFile;
using wintest::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

// The player program's end of the player channel.
class CPlayerProgram
{
public:
    explicit CPlayerProgram(bool ica) : m_hExit(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        BindApiFunctions();
        if (ica)
            m_channel = std::make_unique<CIcaChannelIO>();
        else
            m_channel = std::make_unique<CRdpChannelIO>();
        const uintptr_t extra = ica ? 500 : reinterpret_cast<uintptr_t>(m_hExit.Get());
        m_bOpen = m_channel->OpenChannel(nullptr, static_cast<uint32_t>(-1), ica ? kIcaChannelName : kRdpPlayerChannelName, extra);
    }
    ~CPlayerProgram() { m_channel->CloseChannel(); }
    bool IsOpen() const { return m_bOpen; }

    bool Write(std::vector<unsigned char> m)
    {
        uint32_t written = 0;
        return m_channel->WriteMessage(m.data(), static_cast<uint32_t>(m.size()), &written) && written == m.size();
    }
    bool Command(uint32_t command, int32_t param1 = 0) { return Write(Control(command, param1)); }
    bool Open(const std::wstring &name) { return Write(::Open(std::u16string(name.begin(), name.end()))); }

private:
    CHandle m_hExit;
    std::unique_ptr<CChannelIO> m_channel;
    bool m_bOpen = false;
};

// The control thread in a test host and the emulator's player on a thread.
struct PlayerSession
{
    wintest::BoxWatcher boxes;
    ClientDevice device;
    CControlHost host;
    std::unique_ptr<CClientPlayer> player;
    std::thread thread;
    std::mutex lock;
    std::vector<PlayerEvent> events;
    std::vector<std::string> lines;

    PlayerSession(bool ica, const PlayerOptions &options) : device(ica)
    {
        REQUIRE(InitServerGlobals());
        if (ica)
            REQUIRE(wintest::EnsureService(L"HalvernService"));
        else
            UseRdpSessionOps();
        std::string error;
        REQUIRE_MESSAGE(device.Start(&error), error);
        REQUIRE(host.Start());
        player = std::make_unique<CClientPlayer>(device, options);
        player->m_onMessage = [this](const PlayerEvent &e) {
            std::lock_guard<std::mutex> hold(lock);
            events.push_back(e);
        };
        player->m_log = [this](const std::string &line) {
            std::lock_guard<std::mutex> hold(lock);
            lines.push_back(line);
        };
        thread = std::thread([this] { player->Run(); });
    }
    ~PlayerSession()
    {
        player->Stop();
        thread.join();
        CHECK(host.Stop());
        CHECK(SlotsFree());
        CHECK(boxes.Texts().empty());
        device.Stop();
        UsePlatformSessionOps();
        wintest::RemoveService(L"HalvernService");
    }
    PlayerSummary Now() const { return player->Snapshot(); }
    bool WaitFor(const std::function<bool(const PlayerSummary &)> &pred, DWORD timeoutMs = 10000)
    {
        return WaitUntil([&] { return pred(player->Snapshot()); }, timeoutMs);
    }
    std::string Log()
    {
        std::lock_guard<std::mutex> hold(lock);
        std::string all;
        for (const auto &line : lines)
            all += line + "\n";
        return all;
    }
};

void PlayScript(bool ica)
{
    CAPTURE(ica);
    TempFile file(256 * 1024 + 123, L"pyx_play");
    const uint32_t size = 256 * 1024 + 123;
    PlayerOptions o;
    o.playKbps = 800;   // 100000 bytes a second
    o.device.requestSize = 8192;
    o.device.timeoutMs = 15000;
    o.seconds = 0;
    PlayerSession s(ica, o);
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.solicitations == 1; }));
    CPlayerProgram program(ica);
    REQUIRE(program.IsOpen());

    // RUOF: the file is opened and read at the pace, every byte checked.
    const auto sent = Clock::now();
    REQUIRE(program.Open(file.Path()));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.bytes >= 32768; }));
    const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
    CHECK(s.Now().bytes <= 100000 * seconds + 8192);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        REQUIRE(s.events.size() == 2);   // the solicitation, the open
        CHECK(s.events[1].message.kind == PlayerMessage::kOpen);
        CHECK(s.events[1].arrived >= sent);
        CHECK(s.events[1].arrived <= Clock::now());
    }
    CHECK(s.Log().find("player: RUOF name=" + wintest::Narrow(file.Path()) + " ms=") != std::string::npos);

    // PAUSE stops the count, PLAY resumes it.
    REQUIRE(program.Command(PLAYER_CMD_PAUSE));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.pauses == 1; }));
    const uint64_t paused = s.Now().bytes;
    Sleep(400);
    CHECK(s.Now().bytes == paused);
    REQUIRE(program.Command(PLAYER_CMD_PLAY));
    REQUIRE(s.WaitFor([&](const PlayerSummary &p) { return p.bytes > paused; }));

    // SEEK 50 while paused: the rest is read from the middle, past the end once.
    REQUIRE(program.Command(PLAYER_CMD_PAUSE));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.pauses == 2; }));
    const uint64_t before = s.Now().bytes;
    REQUIRE(before < size / 2);
    REQUIRE(program.Command(PLAYER_CMD_SEEK, 50));
    REQUIRE(program.Command(PLAYER_CMD_PLAY));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.atEnd; }, 20000));
    PlayerSummary p = s.Now();
    CHECK(p.bytes == before + (size - size / 2));
    CHECK(p.open);
    CHECK_FALSE(SlotsFree());

    // STOP closes it: the server's slot is free again.
    REQUIRE(program.Command(PLAYER_CMD_STOP));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.closes == 1 && !p.open; }));
    CHECK(WaitUntil(SlotsFree, 5000));

    // Malformed messages: counted and printed, not acted on.
    for (const auto &m : Malformed(std::u16string(file.Path().begin(), file.Path().end())))
        REQUIRE(program.Write(m));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.protocolErrors == 4; }));
    Sleep(300);
    p = s.Now();
    CHECK(p.commands == 7);
    CHECK(p.opens == 1);
    CHECK(p.pauses == 2);
    CHECK(p.plays == 2);
    CHECK(p.seeks == 1);
    CHECK(p.protocolErrors == 4);
    CHECK(p.mismatches == 0);
    CHECK(p.failures == 0);
    CHECK(SlotsFree());

    // The control thread starts again (as after "Kill Clients") and asks
    // again: answered, and the next file is served by the new thread.
    REQUIRE(s.host.Stop());
    REQUIRE(s.host.Start());
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.solicitations == 2; }));
    REQUIRE(program.Open(file.Path()));
    REQUIRE(s.WaitFor([&](const PlayerSummary &now) { return now.opens == 2 && now.bytes > p.bytes + 8192; }));
    REQUIRE(program.Command(PLAYER_CMD_KILL_PLAYER));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.closes == 2; }));
    p = s.Now();
    INFO(s.Log());
    CHECK(p.mismatches == 0);
    CHECK(p.failures == 0);
    CHECK(p.protocolErrors == 4);
    CHECK(WaitUntil(SlotsFree, 5000));
}

std::wstring LoopbackFolder()
{
    const std::wstring dir = wintest::ExeFolder();
    return dir.substr(0, dir.find_last_of(L"\\/", dir.size() - 2) + 1) + L"loopback\\";
}

} // namespace

TEST_CASE("RDP player: open at the pace, pause, play, seek, stop, malformed messages, a second solicitation")
{
    PlayScript(false);
}

TEST_CASE("ICA player: the same on the one channel ZRBCHNL")
{
    PlayScript(true);
}

TEST_CASE("a roam in the middle of a file: it goes with the session; the re-sent open and seek resume the play there")
{
    const uint32_t size = 1024 * 1024;
    TempFile file(size, L"pyx_roam");
    PlayerOptions o;
    o.playKbps = 1600;   // 200000 bytes a second: the roam comes in the middle
    o.device.requestSize = 8192;
    o.device.timeoutMs = 15000;
    o.device.roamAfterSeconds = 2.5;
    o.device.roamGapSeconds = 1;
    o.seconds = 0;
    PlayerSession s(true, o);
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.solicitations == 1; }));
    {
        CPlayerProgram program(true);
        REQUIRE(program.IsOpen());
        REQUIRE(program.Open(file.Path()));
        REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.reconnects == 1; }));
    }
    PlayerSummary p = s.Now();
    REQUIRE(p.disconnectedAt > 0);
    REQUIRE(p.disconnectedAt < size);
    CHECK_FALSE(p.open);
    CHECK(p.closes == 0);   // forgotten: no CLOS could go
    CHECK(p.failures == 0);

    // The server's control thread starts again and solicits; the player
    // program sends its file and where its slider stood.
    REQUIRE(s.host.Stop());
    REQUIRE(s.host.Start());
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.solicitations == 2; }));
    const int32_t percent = static_cast<int32_t>(p.disconnectedAt * 100 / size);
    CPlayerProgram program(true);
    REQUIRE(program.IsOpen());
    REQUIRE(program.Open(file.Path()));
    REQUIRE(program.Command(PLAYER_CMD_SEEK, percent));
    REQUIRE(s.WaitFor([](const PlayerSummary &p) { return p.atEnd; }, 20000));
    p = s.Now();
    INFO(s.Log());
    const int64_t resumed = int64_t(size) * percent / 100;
    CHECK(p.resumedAt == resumed);
    CHECK(p.disconnectedAt - p.resumedAt <= size / 20);
    CHECK(p.bytes == uint64_t(p.disconnectedAt + (size - resumed)));   // every byte checked, none twice
    CHECK(p.opens == 2);
    CHECK(p.mismatches == 0);
    CHECK(p.failures == 0);
    CHECK(p.protocolErrors == 0);
    CHECK(p.firstByteAfterReconnectMs > 0);
    CHECK(s.Log().find("player: resumed at byte " + std::to_string(resumed) + " of " + std::to_string(size) +
                       ", disconnected at byte " + std::to_string(p.disconnectedAt)) != std::string::npos);
    CHECK(p.Line().substr(p.Line().rfind(' ')) == " reconnects=1");
}

TEST_CASE("the emulator program: player lines when listening; --player between the control-thread and the queue-thread host programs")
{
    wintest::BoxWatcher boxes;
    TempFile file(300000, L"pyx_play");
    const std::wstring client = L"\"" + LoopbackFolder() + L"pyxclient.exe\" --protocol rdp";

    wintest::Process listening;
    REQUIRE(listening.Start(client + L" --seconds 20"));
    REQUIRE(listening.WaitForOutput("pyxclient: listening", 10000));
    {
        CPlayerProgram program(false);
        REQUIRE(program.IsOpen());
        REQUIRE(program.Command(PLAYER_CMD_VOLUME, 40));
        CHECK(listening.WaitForOutput("player: CONT VOLUME 40 0 0 0 ms=", 10000));
    }
    listening.Kill();

    // Very slow until a second after the open, then at full speed.
    wintest::Process player;
    REQUIRE(player.Start(client + L" --player --play-kbps 8 --fast-after 1 --request-size 4096 --exit-on-close --seconds 60"));
    REQUIRE(player.WaitForOutput("pyxclient: listening", 10000));
    wintest::Process host;
    REQUIRE(host.Start(L"\"" + wintest::ExeFolder() + L"pyx_control_host.exe\" --rdp --seconds 60"));
    REQUIRE(player.WaitForOutput("player: SEND solicitation", 15000));
    // The player's own command queue and thread, in their test host program.
    wintest::Process queue;
    const auto sent = Clock::now();
    REQUIRE(queue.Start(L"\"" + wintest::ExeFolder() + L"pyx_player_host.exe\" --rdp --server-running open \"" +
                        file.Path() + L"\" wait 4000 cmd CLOSE"));
    REQUIRE(player.WaitForOutput("player: eof", 20000));
    CHECK(Clock::now() - sent >= std::chrono::milliseconds(900));
    CHECK(queue.Wait(15000));
    CHECK(queue.Output().find("open ") != std::string::npos);
    DWORD code = 99;
    REQUIRE(player.Wait(10000, &code));
    INFO(player.Output());
    CHECK(code == 0);
    CHECK(player.Output().find("player: summary: commands=2 opens=1 closes=1 pauses=0 plays=0 seeks=0 bytes=300000 "
                               "mismatches=0 protocol_errors=0 failures=0 last_name=" +
                               wintest::Narrow(file.Path()) + " result=ok") != std::string::npos);

    HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"PyxControlHostExit");
    REQUIRE(stop);
    SetEvent(stop);
    CloseHandle(stop);
    CHECK(host.Wait(10000, &code));
    CHECK(boxes.Texts().empty());
}

#endif
