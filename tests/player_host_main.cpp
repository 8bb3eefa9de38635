// pyx_player_host: the player's command queue and its PyxPlayerControl
// thread in a test host program, without the window, so that the client
// emulator can be driven by it on RDP too, which Wine's console is not.
//
//   pyx_player_host [--rdp] [--server-running] ACTION...
//
//   open NAME              QueueOpenFile
//   cmd NAME [V1 [V2 [V3 [V4]]]]   QueuePlayerCommand (PLAY, SEEK 50, VOLUME 70, ...)
//   wait MS                sleep
//
// --server-running skips the server launch (as if a server ran). Prints
// "ready" once the thread runs and one line per action; stops the thread at
// the end. Exit code 0 when every action was accepted.
#include "launch_fakes.h"
#include "launch_server.h"
#include "player_commands_win.h"
#include "player_msg.h"
#include "session_fakes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring Widen(const char *s)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
    return w;
}

bool IsNumber(const char *s)
{
    char *end = nullptr;
    std::strtol(s, &end, 0);
    return *s && !*end;
}

} // namespace

int main(int argc, char **argv)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!std::strcmp(argv[i], "--rdp"))
            UseRdpSessionOps();
        else if (!std::strcmp(argv[i], "--server-running"))
            SetLaunchOps(&kServerRunningOps);
    }
    if (g_PlayerCommands.StartPlayerControl() != 0) {
        std::printf("start failed\n");
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int refused = 0;
    while (i < argc) {
        const char *action = argv[i++];
        if (!std::strcmp(action, "wait") && i < argc) {
            Sleep(static_cast<DWORD>(std::atoi(argv[i++])));
            continue;
        }
        int result = 1;
        if (!std::strcmp(action, "open") && i < argc) {
            const std::wstring name = Widen(argv[i++]);
            result = g_PlayerCommands.QueueOpenFile(name.c_str());
            std::printf("open %s: %s checksum=0x%04x\n", argv[i - 1], result ? "refused" : "queued",
                        g_PlayerCommands.GetFileChecksum());
        } else if (!std::strcmp(action, "cmd") && i < argc) {
            uint32_t code = 0;
            const char *name = argv[i++];
            int32_t v[4] = {};
            for (int k = 0; k < 4 && i < argc && IsNumber(argv[i]); ++k)
                v[k] = static_cast<int32_t>(std::strtol(argv[i++], nullptr, 0));
            if (PlayerCommandByName(name, &code))
                result = g_PlayerCommands.QueuePlayerCommand(code, v[0], v[1], v[2], v[3]);
            std::printf("cmd %s %d %d %d %d: %s\n", name, v[0], v[1], v[2], v[3], result ? "refused" : "queued");
        } else {
            std::printf("unknown action %s\n", action);
        }
        refused += result != 0;
        std::fflush(stdout);
    }
    // Let the last command's delay pass before the stop, which wins over it.
    Sleep(300);
    g_PlayerCommands.StopPlayerControl();
    std::printf("stopped\n");
    return refused ? 1 : 0;
}
