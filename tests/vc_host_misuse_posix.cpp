// An add-in that misuses every entry point of tarsel_vc_host, each in a way
// FreeRDP 2 refuses, and wants FreeRDP's code back for each; its one write,
// for a channel no relay connection carries, must come back cancelled with
// its own pointer and length. At TERMINATED it prints "fixture: ok" or
// "fixture: FAIL" with what went wrong.
#include <freerdp/settings.h>
#include <freerdp/svc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

CHANNEL_ENTRY_POINTS_FREERDP_EX g_entry;
void *g_init = nullptr;
DWORD g_control = 0;
std::string g_failures;
int g_cancelled = 0;
unsigned char g_write[16] = {'R', 'E', 'A', 'D'};
int g_token;

void Expect(const char *what, UINT got, UINT want)
{
    if (got != want)
        g_failures += std::string(" ") + what + "=" + std::to_string(got) + "(want " + std::to_string(want) + ")";
}

CHANNEL_DEF Def(const char *name)
{
    CHANNEL_DEF d{};
    std::strncpy(d.name, name, sizeof d.name);
    return d;
}

void VCAPITYPE OpenEvent(LPVOID, DWORD handle, UINT event, LPVOID data, UINT32 length, UINT32 total, UINT32)
{
    if (event == CHANNEL_EVENT_WRITE_COMPLETE)
        g_failures += " a write with no connection completed";
    if (event == CHANNEL_EVENT_WRITE_CANCELLED) {
        ++g_cancelled;
        if (handle != g_control || data != &g_token || length != sizeof g_write || total != sizeof g_write)
            g_failures += " WRITE_CANCELLED with the wrong handle, user data or length";
    }
}

void VCAPITYPE InitEvent(LPVOID, LPVOID init, UINT event, LPVOID, UINT)
{
    if (init != g_init)
        g_failures += " an event with another init handle";
    if (event == CHANNEL_EVENT_CONNECTED) {
        CHANNEL_DEF late[] = {Def("late")};
        Expect("InitEx outside the entry", g_entry.pVirtualChannelInitEx(nullptr, nullptr, g_init, late, 1, 1, InitEvent),
               CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY);
        DWORD h = 0;
        char unknown[] = "nochan", tooLong[] = "pyxcm0000", control[] = "pyxcm";
        Expect("OpenEx unknown", g_entry.pVirtualChannelOpenEx(g_init, &h, unknown, OpenEvent), CHANNEL_RC_UNKNOWN_CHANNEL_NAME);
        Expect("OpenEx 9 characters", g_entry.pVirtualChannelOpenEx(g_init, &h, tooLong, OpenEvent),
               CHANNEL_RC_UNKNOWN_CHANNEL_NAME);
        Expect("OpenEx no handle", g_entry.pVirtualChannelOpenEx(g_init, nullptr, control, OpenEvent),
               CHANNEL_RC_BAD_CHANNEL_HANDLE);
        Expect("OpenEx no proc", g_entry.pVirtualChannelOpenEx(g_init, &h, control, nullptr), CHANNEL_RC_BAD_PROC);
        Expect("OpenEx", g_entry.pVirtualChannelOpenEx(g_init, &g_control, control, OpenEvent), CHANNEL_RC_OK);
        Expect("OpenEx twice", g_entry.pVirtualChannelOpenEx(g_init, &h, control, OpenEvent), CHANNEL_RC_ALREADY_OPEN);
        Expect("WriteEx bad handle", g_entry.pVirtualChannelWriteEx(g_init, g_control + 1000, g_write, 4, nullptr),
               CHANNEL_RC_BAD_CHANNEL_HANDLE);
        Expect("WriteEx null", g_entry.pVirtualChannelWriteEx(g_init, g_control, nullptr, 4, nullptr), CHANNEL_RC_NULL_DATA);
        Expect("WriteEx empty", g_entry.pVirtualChannelWriteEx(g_init, g_control, g_write, 0, nullptr),
               CHANNEL_RC_ZERO_LENGTH);
        std::vector<unsigned char> huge((1u << 20) + 1);
        Expect("WriteEx over a frame", g_entry.pVirtualChannelWriteEx(g_init, g_control, huge.data(), huge.size(), nullptr),
               CHANNEL_RC_NO_BUFFER);
        Expect("CloseEx bad handle", g_entry.pVirtualChannelCloseEx(g_init, g_control + 1000), CHANNEL_RC_BAD_CHANNEL_HANDLE);
        Expect("WriteEx", g_entry.pVirtualChannelWriteEx(g_init, g_control, g_write, sizeof g_write, &g_token), CHANNEL_RC_OK);
    } else if (event == CHANNEL_EVENT_DISCONNECTED) {
        Expect("CloseEx", g_entry.pVirtualChannelCloseEx(g_init, g_control), CHANNEL_RC_OK);
        Expect("CloseEx twice", g_entry.pVirtualChannelCloseEx(g_init, g_control), CHANNEL_RC_NOT_OPEN);
        Expect("WriteEx closed", g_entry.pVirtualChannelWriteEx(g_init, g_control, g_write, 4, nullptr), CHANNEL_RC_NOT_OPEN);
    } else if (event == CHANNEL_EVENT_TERMINATED) {
        if (g_cancelled != 1)
            g_failures += " " + std::to_string(g_cancelled) + " writes cancelled";
        std::printf("fixture: %s%s\n", g_failures.empty() ? "ok" : "FAIL", g_failures.c_str());
        std::fflush(stdout);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) BOOL VCAPITYPE VirtualChannelEntryEx(PCHANNEL_ENTRY_POINTS_EX points,
                                                                                       PVOID initHandle)
{
    g_entry = *reinterpret_cast<CHANNEL_ENTRY_POINTS_FREERDP_EX *>(points);
    g_init = initHandle;
    const auto *args = static_cast<const ADDIN_ARGV *>(g_entry.pExtendedData);
    if (g_entry.MagicNumber != FREERDP_CHANNEL_MAGIC_NUMBER || g_entry.context || !args || args->argc != 2 ||
        std::strcmp(args->argv[0], "tarsel") || std::strcmp(args->argv[1], "opt1"))
        g_failures += " the entry points or the add-in's arguments";

    CHANNEL_DEF unterminated{};
    std::memset(unterminated.name, 'x', sizeof unterminated.name);
    CHANNEL_DEF twice[] = {Def("pyxcm"), Def("pyxcm")};
    std::vector<CHANNEL_DEF> many(CHANNEL_MAX_COUNT + 1, Def("c"));
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = Def(("c" + std::to_string(i)).c_str());
    CHANNEL_DEF good[] = {Def("pyxcm"), Def("pyx00")};
    auto initEx = [&](LPVOID handle, CHANNEL_DEF *defs, INT n, PCHANNEL_INIT_EVENT_EX_FN proc) {
        return g_entry.pVirtualChannelInitEx(nullptr, nullptr, handle, defs, n, VIRTUAL_CHANNEL_VERSION_WIN2000, proc);
    };
    Expect("InitEx bad init handle", initEx(&g_token, good, 2, InitEvent), CHANNEL_RC_BAD_INIT_HANDLE);
    Expect("InitEx no channels", initEx(g_init, nullptr, 2, InitEvent), CHANNEL_RC_BAD_CHANNEL);
    Expect("InitEx count 0", initEx(g_init, good, 0, InitEvent), CHANNEL_RC_INITIALIZATION_ERROR);
    Expect("InitEx no proc", initEx(g_init, good, 2, nullptr), CHANNEL_RC_INITIALIZATION_ERROR);
    Expect("InitEx unterminated name", initEx(g_init, &unterminated, 1, InitEvent), CHANNEL_RC_BAD_CHANNEL);
    Expect("InitEx a name twice", initEx(g_init, twice, 2, InitEvent), CHANNEL_RC_BAD_CHANNEL);
    Expect("InitEx 32 channels", initEx(g_init, many.data(), static_cast<INT>(many.size()), InitEvent),
           CHANNEL_RC_TOO_MANY_CHANNELS);
    Expect("InitEx", initEx(g_init, good, 2, InitEvent), CHANNEL_RC_OK);
    Expect("InitEx a registered name", initEx(g_init, good, 1, InitEvent), CHANNEL_RC_BAD_CHANNEL);
    DWORD h = 0;
    char control[] = "pyxcm";
    Expect("OpenEx before the connection", g_entry.pVirtualChannelOpenEx(g_init, &h, control, OpenEvent),
           CHANNEL_RC_NOT_CONNECTED);
    return TRUE;
}
