// Prints how long the player's commands take to reach the client player,
// on RDP and on ICA, through the real PyxPlayerControl thread and the
// loopback channels (median and worst of 20 each): QueuePlayerCommand to
// "CONT" at the client (100 ms of that is the deliberate delay),
// QueueOpenFile to "RUOF", and LaunchServer from no server to ready with
// the real PyxVideoServer.exe.
//
// Then the real programs on ICA with the client emulator as the client
// player: from the player's start with a file to the first byte the client
// reads (the first round also starts the server), and from a tool-bar click
// to its "CONT" at the client.
//
//   bench_player [rounds]
#include "installation_guard.h"
#include "launch_fakes.h"
#include "launch_server.h"
#include "player_commands_win.h"
#include "player_msg.h"
#include "player_session.h"
#include "program_stage.h"
#include "protocol.h"
#include "session_fakes.h"
#include "vc_server.h"
#include "resource.h"
#include "win_test_util.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

void Row(const char *what, const char *proto, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%-34s %-4s   no samples\n", what, proto);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-34s %-4s %8.1f %8.1f   (%zu)\n", what, proto, v[v.size() / 2], v.back(), v.size());
}

// One thing queued, timed until its message is at the client.
template <class Queue>
std::vector<double> Measure(loopback::ChannelServer &client, int rounds, Queue queue, uint32_t type)
{
    std::vector<double> out;
    for (int i = 0; i < rounds; ++i) {
        const auto t = Clock::now();
        queue(i);
        loopback::ReceivedMessage m;
        while (client.Receive(&m, 3000)) {
            if (m.bytes.size() >= kHeaderSize && MessageType(m.bytes.data()) == type) {
                out.push_back(Ms(t));
                break;
            }
        }
    }
    return out;
}

void Channels(bool ica, int rounds)
{
    if (ica)
        wintest::EnsureService(L"HalvernService");
    else
        UseRdpSessionOps();
    SetLaunchOps(&kServerRunningOps);
    loopback::ChannelServer client(ica ? kIcaChannelName : kRdpPlayerChannelName, 2);
    if (!client.Start() || g_PlayerCommands.StartPlayerControl() != 0) {
        std::printf("%s: the player thread did not start\n", ica ? "ica" : "rdp");
        return;
    }
    const char *proto = ica ? "ICA" : "RDP";
    Row("QueuePlayerCommand -> CONT (ms)", proto, Measure(client, rounds, [](int i) {
            g_PlayerCommands.QueuePlayerCommand(PLAYER_CMD_VOLUME, i % 100);
        }, PYXMSG_PLAYER_CONTROL));
    Row("QueueOpenFile -> RUOF (ms)", proto, Measure(client, rounds, [](int) {
            g_PlayerCommands.QueueOpenFile(L"C:\\media\\a clip.avi");
        }, PYXMSG_PLAYER_OPEN));
    g_PlayerCommands.StopPlayerControl();
    SetLaunchOps(nullptr);
    UsePlatformSessionOps();
    wintest::RemoveService(L"HalvernService");
}

void Launch(int rounds)
{
    wintest::StopServers();
    const std::wstring stage = wintest::ExeFolder() + L"bench_stage\\";
    if (!wintest::StageServer(stage)) {
        std::printf("cannot stage the server\n");
        return;
    }
    wintest::InstallationValues installation(stage);
    std::vector<double> out;
    for (int i = 0; i < rounds; ++i) {
        const auto t = Clock::now();
        if (LaunchServer())
            out.push_back(Ms(t));
        wintest::StopServers();
    }
    Row("LaunchServer, none to ready (ms)", "-", out);
}

void Programs(int rounds)
{
    wintest::StopServers();
    wintest::EnsureService(L"HalvernService");
    const std::wstring stage = wintest::ExeFolder() + L"bench_programs\\";
    if (!wintest::StagePrograms(stage)) {
        std::printf("cannot stage the programs\n");
        return;
    }
    wintest::InstallationValues installation(stage);
    wintest::TempFile media(4 << 20, L"pyx_bench");
    wintest::PlayerClient client;
    std::vector<double> starts, clicks;
    double cold = -1;
    for (int i = 0; i < rounds; ++i) {
        const uint64_t before = client.Snapshot().bytes;
        const auto t = Clock::now();
        wintest::Process player;
        if (!player.Start(L"\"" + stage + L"PyxUserInterface.exe\" \"" + media.Path() + L"\"", stage.c_str()))
            break;
        double ms = -1;
        while (ms < 0 && Ms(t) < 20000) {
            if (client.Snapshot().bytes > before)
                ms = Ms(t);
            else
                Sleep(1);
        }
        if (ms >= 0 && i == 0)
            cold = ms;
        else if (ms >= 0)
            starts.push_back(ms);
        HWND window = wintest::WaitForPlayerWindow(player.Pid(), 5000);
        if (window && i == 0) {
            client.WaitQuiet(300);
            for (int k = 0; k < rounds; ++k) {
                client.Mark();
                const auto click = Clock::now();
                PostMessageW(window, WM_COMMAND, k % 2 ? ID_PLAYER_PLAY : ID_PLAYER_PAUSE, 0);
                loopback::PlayerEvent e;
                if (client.WaitFor(k % 2 ? PLAYER_CMD_PLAY : PLAYER_CMD_PAUSE, 3000, &e))
                    clicks.push_back(std::chrono::duration<double, std::milli>(e.arrived - click).count());
            }
        }
        if (window)
            PostMessageW(window, WM_COMMAND, ID_APP_EXIT, 0);
        player.Wait(10000);
    }
    std::printf("%-34s %-4s %8.1f\n", "player start -> first byte, cold", "ICA", cold);
    Row("player start -> first byte (ms)", "ICA", starts);
    Row("tool-bar click -> CONT (ms)", "ICA", clicks);
    wintest::StopServers();
    wintest::RemoveService(L"HalvernService");
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    std::printf("%-34s %-4s %8s %8s\n", "", "", "median", "worst");
    Channels(false, rounds);
    Channels(true, rounds);
    Launch(rounds);
    Programs(rounds);
    return 0;
}
