#include "doctest.h"

#include "session.h"
#include "trace.h"

#include <string>
#include <vector>

namespace {

struct Fake
{
    bool readOk = true;
    bool present = true;
    std::u16string name = u"Console";
    ServiceProbe probe;
    bool remote = false;
    bool canQuery = true;
    bool sessionOk = true;
    int sessionResult = 1;   // what the call returns on success (any non-zero BOOL)
    bool queryOk = true;
    bool hasBuffer = true;
    uint16_t type = 2;
    int serviceProbes = 0;
};

Fake g_fake;
std::vector<std::wstring> g_log;

void Capture(const wchar_t *text)
{
    if (std::wstring(text).rfind(L"File: ", 0) != 0)
        g_log.emplace_back(text);
}

const SessionOps kFakeOps = {
    [](std::u16string *v, bool *present, uint32_t *error) {
        *error = 203;
        *present = g_fake.present;
        *v = g_fake.name;
        return g_fake.readOk;
    },
    [] {
        ++g_fake.serviceProbes;
        return g_fake.probe;
    },
    [] { return g_fake.remote; },
    [] { return g_fake.canQuery; },
    [](uint32_t *s, uint32_t *e) {
        *s = 3;
        *e = 5;
        return g_fake.sessionOk ? g_fake.sessionResult : 0;
    },
    [](uint32_t, bool *hasBuffer, uint16_t *value, uint32_t *e, uint32_t *bytes) {
        *hasBuffer = g_fake.hasBuffer;
        *value = g_fake.type;
        *e = 6;
        *bytes = 0;
        return g_fake.queryOk;
    },
};

struct Setup
{
    Setup()
    {
        g_fake = Fake{};
        g_log.clear();
        SetSessionOps(&kFakeOps);
        SetTraceHook(Capture);
    }
    ~Setup()
    {
        SetTraceHook(nullptr);
        SetSessionOps(nullptr);
    }
};

bool Logged(const std::wstring &part)
{
    for (const auto &l : g_log)
        if (l.find(part) != std::wstring::npos)
            return true;
    return false;
}

ServiceProbe ServiceThere()
{
    ServiceProbe p;
    p.managerOpened = p.serviceOpened = p.statusRead = true;
    return p;
}

} // namespace

TEST_CASE("the console with the service is ICA at once, whatever its state")
{
    Setup s;
    g_fake.probe = ServiceThere();
    unsigned char retry = 9;
    CHECK(WaitForSession(&retry) == SessionKind::Ica);
    CHECK(retry == 0);
    CHECK(g_fake.serviceProbes == 1);
}

TEST_CASE("only the exact name Console looks for the service")
{
    Setup s;
    g_fake.probe = ServiceThere();
    g_fake.name = u"console";
    unsigned char retry = 0;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(g_fake.serviceProbes == 0);
    CHECK(Logged(L"GetSystemMetrics(SM_REMOTESESSION) ==0"));

    g_fake.present = false;   // SESSIONNAME unset
    g_fake.serviceProbes = 0;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(g_fake.serviceProbes == 0);
}

TEST_CASE("no service and no remote session: no decision, with both log lines in order")
{
    Setup s;
    g_fake.probe.managerOpened = true;
    g_fake.probe.serviceError = 1060;
    unsigned char retry = 0;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    REQUIRE(g_log.size() >= 2);
    CHECK(g_log[0] == L"OpenService error 1060\r\n");
    CHECK(g_log[1] == L"WaitForSession: GetSystemMetrics(SM_REMOTESESSION) ==0\r\n");

    g_log.clear();
    g_fake.probe.managerOpened = false;
    g_fake.probe.managerError = 5;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(g_log[0] == L"OpenSCManager  error 5\r\n");

    g_log.clear();
    g_fake.probe = ServiceThere();
    g_fake.probe.statusRead = false;   // opened but its status unreadable: not ICA
    g_fake.probe.statusError = 6;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(g_log[0] == L"QueryServiceStatus error 6\r\n");
}

TEST_CASE("a remote session decides by its protocol type")
{
    Setup s;
    g_fake.name = u"RDP-Tcp#3";
    g_fake.remote = true;
    unsigned char retry = 7;
    for (auto [type, kind] : {std::pair<uint16_t, SessionKind>{1, SessionKind::Ica}, {2, SessionKind::Rdp},
                              {0, SessionKind::Rdp}, {5, SessionKind::Rdp}}) {
        g_fake.type = type;
        CHECK(WaitForSession(&retry) == kind);
        CHECK(retry == 0);
    }
    CHECK(Logged(L"WaitForSession: Ret = 1, dwSessionID = 3\r\n"));
    CHECK(Logged(L"WaitForSession: *pSessionInfo = 2 (2 - RDP), (1 - ICA)\r\n"));
    // The line prints what the call returned, not a constant.
    g_fake.sessionResult = 17;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(Logged(L"WaitForSession: Ret = 17, dwSessionID = 3\r\n"));
}

TEST_CASE("every undecidable step asks for a retry")
{
    Setup s;
    g_fake.remote = true;
    g_fake.name = u"ICA-tcp#1";
    unsigned char retry = 0;

    g_fake.readOk = false;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(Logged(L"WaitForSession: _wdupenv_s SESSIONNAME failed 203\n"));
    g_fake.readOk = true;

    g_fake.canQuery = false;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    g_fake.canQuery = true;

    g_fake.sessionOk = false;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(Logged(L"WaitForSession: ProcessIdToSessionId error 5\r\n"));
    g_fake.sessionOk = true;

    g_fake.queryOk = false;
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(Logged(L"WaitForSession: WTSQuerySessionInformation() failed - 6, dwTransmitted = 0\n"));
    g_fake.queryOk = true;

    g_fake.hasBuffer = false;
    g_log.clear();
    CHECK(WaitForSession(&retry) == SessionKind::Rdp);
    CHECK(retry == 1);
    CHECK(Logged(L"Some error prevented session type determination."));
}

TEST_CASE("the connect state: only a disconnected answer holds boxes back, a failed query counts as connected")
{
    Setup setup;
    static bool s_queryOk;
    static int32_t s_state;
    SetConnectStateQuery([](int32_t *state) {
        *state = s_state;
        return s_queryOk;
    });
    static std::vector<std::wstring> s_boxes;
    s_boxes.clear();
    SetErrorBoxHook([](const wchar_t *text) { s_boxes.emplace_back(text); });
    SetErrorBoxGate(IsSessionConnected);

    s_queryOk = true;
    s_state = kWtsConnectStateDisconnected;
    CHECK_FALSE(IsSessionConnected());
    CHECK(ShowErrorBox(L"Failed to transmit data to client!") == 1);
    CHECK(s_boxes.empty());
    CHECK(Logged(L"Box not shown, the session is disconnected: Failed to transmit data to client!"));
    CHECK_FALSE(MayShowBox(L"CreateMutex failed!!!!"));

    for (int32_t state : {kWtsConnectStateActive, 1 /* WTSConnected */, 3 /* WTSShadow */}) {
        s_state = state;
        CHECK(IsSessionConnected());
    }
    s_queryOk = false;
    s_state = kWtsConnectStateDisconnected;
    CHECK(IsSessionConnected());
    ShowErrorBox(L"shown");
    CHECK(s_boxes == std::vector<std::wstring>{L"shown"});

    CHECK(ClassifySessionChange(1) == SessionChange::Connect);
    CHECK(ClassifySessionChange(3) == SessionChange::Connect);
    CHECK(ClassifySessionChange(2) == SessionChange::Disconnect);
    CHECK(ClassifySessionChange(4) == SessionChange::Disconnect);
    CHECK(ClassifySessionChange(7) == SessionChange::Other);   // a lock, not a disconnect

    SetErrorBoxGate(nullptr);
    SetErrorBoxHook(nullptr);
    SetConnectStateQuery(nullptr);
}
