// pyx_control_host: the server's control thread in a test host program
// (hidden settings dialog, exit event), without the program shell. Lets the
// client emulator drive a whole session on RDP too, which the real program
// cannot see under Wine.
//
//   pyx_control_host [--rdp] [--seconds N]
//
// Ends after N seconds (default 60), when the event "PyxControlHostExit" is
// set, or when the control thread ends on its own. Prints "ready" once the
// thread runs.
#include "control_host.h"
#include "ica_share_win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    bool rdp = false;
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rdp") == 0)
            rdp = true;
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
    }
    if (!InitServerGlobals())
        return 2;
    if (rdp)
        UseRdpSessionOps();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"PyxControlHostExit");
    CControlHost host;
    if (!host.Start())
        return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000u) {
        if (WaitForSingleObject(stop, 100) == WAIT_OBJECT_0 || host.WaitEnded(0))
            break;
    }
    const bool stopped = host.Stop();
    std::printf("stopped%s\n", stopped ? "" : " (thread did not end)");
    CloseHandle(stop);
    return stopped ? 0 : 1;
}
