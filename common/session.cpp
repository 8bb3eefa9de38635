#include "session.h"

#include "trace.h"

#include <atomic>

namespace {

std::atomic<const SessionOps *> g_sessionOps{nullptr};

constexpr char16_t kConsole[] = u"Console";

} // namespace

const SessionOps &GetSessionOps()
{
    const SessionOps *ops = g_sessionOps.load();
    return ops ? *ops : *DefaultSessionOps();
}

void SetSessionOps(const SessionOps *ops) { g_sessionOps.store(ops); }

namespace {
std::atomic<ConnectStateQuery> g_connectStateQuery{nullptr};
} // namespace

// The platform's query, in session_win.cpp and session_posix.cpp.
bool PlatformConnectState(int32_t *state);

void SetConnectStateQuery(ConnectStateQuery query) { g_connectStateQuery.store(query); }

bool IsSessionConnected()
{
    const ConnectStateQuery query = g_connectStateQuery.load();
    int32_t state = kWtsConnectStateActive;
    if (!(query ? query(&state) : PlatformConnectState(&state)))
        return true;
    return state != kWtsConnectStateDisconnected;
}

SessionChange ClassifySessionChange(uint32_t code)
{
    switch (code) {
    case 1:   // WTS_CONSOLE_CONNECT
    case 3:   // WTS_REMOTE_CONNECT
        return SessionChange::Connect;
    case 2:   // WTS_CONSOLE_DISCONNECT
    case 4:   // WTS_REMOTE_DISCONNECT
        return SessionChange::Disconnect;
    default:
        return SessionChange::Other;
    }
}

SessionKind WaitForSession(unsigned char *retry)
{
    const SessionOps &ops = GetSessionOps();
    *retry = 0;

    std::u16string name;
    bool present = false;
    uint32_t error = 0;
    if (!ops.ReadSessionName(&name, &present, &error)) {
        PYX_TRACE(L"WaitForSession: _wdupenv_s SESSIONNAME failed %d\n", error);
        *retry = 1;
        return SessionKind::Rdp;
    }
    if (!present)
        PYX_TRACE(L"WaitForSession: SESSIONNAME is not set\r\n");

    if (present && name == kConsole) {
        const ServiceProbe probe = ops.ProbeHalvernService();
        if (!probe.managerOpened) {
            PYX_TRACE(L"OpenSCManager  error %d\r\n", probe.managerError);
        } else {
            if (!probe.serviceOpened)
                PYX_TRACE(L"OpenService error %d\r\n", probe.serviceError);
            else if (!probe.statusRead)
                PYX_TRACE(L"QueryServiceStatus error %d\r\n", probe.statusError);
            // Whatever state the service is in, its presence makes the console ICA.
            if (probe.serviceOpened && probe.statusRead)
                return SessionKind::Ica;
        }
    }

    if (!ops.IsRemoteSession()) {
        PYX_TRACE(L"WaitForSession: GetSystemMetrics(SM_REMOTESESSION) ==0\r\n");
        *retry = 1;
        return SessionKind::Rdp;
    }
    if (!ops.CanQueryProtocol()) {
        PYX_TRACE(L"PyxControlThread: WTSQuerySessionInformationW - Some error prevented session type "
                  L"determination.\r\n");
        *retry = 1;
        return SessionKind::Rdp;
    }
    uint32_t session = 0;
    const int ret = ops.GetSessionId(&session, &error);
    if (!ret) {
        PYX_TRACE(L"WaitForSession: ProcessIdToSessionId error %d\r\n", error);
        *retry = 1;
        return SessionKind::Rdp;
    }
    PYX_TRACE(L"WaitForSession: Ret = %d, dwSessionID = %d\r\n", ret, session);

    bool hasBuffer = false;
    uint16_t type = 0;
    uint32_t bytes = 0;
    if (!ops.QueryProtocolType(session, &hasBuffer, &type, &error, &bytes)) {
        PYX_TRACE(L"WaitForSession: WTSQuerySessionInformation() failed - %d, dwTransmitted = %d\n", error, bytes);
        *retry = 1;
        return SessionKind::Rdp;
    }
    if (!hasBuffer) {
        PYX_TRACE(L"PyxControlThread: WTSQuerySessionInformationW - Some error prevented session type "
                  L"determination.\r\n");
        *retry = 1;
        return SessionKind::Rdp;
    }
    PYX_TRACE(L"WaitForSession: *pSessionInfo = %d (2 - RDP), (1 - ICA)\r\n", type);
    return type == 1 ? SessionKind::Ica : SessionKind::Rdp;
}
