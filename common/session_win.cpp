// The platform's session operations.
#include "api_sets_win.h"
#include "session.h"

#include <windows.h>

namespace {

bool ReadSessionName(std::u16string *value, bool *present, uint32_t *error)
{
    wchar_t buf[260];
    SetLastError(0);
    const DWORD n = GetEnvironmentVariableW(L"SESSIONNAME", buf, 260);
    if (n == 0) {
        const DWORD e = GetLastError();
        if (e == ERROR_ENVVAR_NOT_FOUND) {
            *present = false;
            return true;
        }
        if (e != 0) {
            *error = e;
            return false;
        }
    }
    if (n >= 260) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    *present = true;
    value->assign(reinterpret_cast<const char16_t *>(buf), n);
    return true;
}

ServiceProbe ProbeHalvernService()
{
    ServiceProbe p;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF003F);
    if (!manager) {
        p.managerError = GetLastError();
        return p;
    }
    p.managerOpened = true;
    SC_HANDLE service = OpenServiceW(manager, L"HalvernService", 0xF003F);
    if (!service) {
        p.serviceError = GetLastError();
    } else {
        p.serviceOpened = true;
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status))
            p.statusRead = true;
        else
            p.statusError = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return p;
}

bool IsRemoteSession() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

bool CanQueryProtocol() { return WtsApi.WTSQuerySessionInformationW != nullptr; }

int GetSessionId(uint32_t *session, uint32_t *error)
{
    DWORD id = 0;
    const BOOL ret = ProcessIdToSessionId(GetCurrentProcessId(), &id);
    if (!ret) {
        *error = GetLastError();
        return 0;
    }
    *session = id;
    return ret;
}

bool QueryProtocolType(uint32_t session, bool *hasBuffer, uint16_t *value, uint32_t *error, uint32_t *bytes)
{
    LPWSTR buffer = nullptr;
    DWORD transmitted = 0;
    if (!WtsApi.WTSQuerySessionInformationW(nullptr, session, kWtsClientProtocolType, &buffer, &transmitted)) {
        *error = GetLastError();
        *bytes = transmitted;
        return false;
    }
    *bytes = transmitted;
    *hasBuffer = buffer != nullptr;
    if (buffer) {
        // The answer is an unsigned 16-bit value; a shorter buffer reads as 0.
        USHORT v = 0;
        if (transmitted >= sizeof v)
            memcpy(&v, buffer, sizeof v);
        *value = v;
        WtsApi.WTSFreeMemory(buffer);
    }
    return true;
}

const SessionOps kWin32Ops = {ReadSessionName, ProbeHalvernService, IsRemoteSession, CanQueryProtocol, GetSessionId,
                              QueryProtocolType};

} // namespace

const SessionOps *DefaultSessionOps() { return &kWin32Ops; }

// The current session on the current server.
bool PlatformConnectState(int32_t *state)
{
    if (!WtsSessionApi.WTSQuerySessionInformationW || !WtsSessionApi.WTSFreeMemory)
        return false;
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WtsSessionApi.WTSQuerySessionInformationW(nullptr, static_cast<DWORD>(-1), kWtsConnectState, &buffer,
                                                   &bytes))
        return false;
    const bool ok = buffer && bytes >= sizeof(int32_t);
    if (ok)
        memcpy(state, buffer, sizeof(int32_t));
    if (buffer)
        WtsSessionApi.WTSFreeMemory(buffer);
    return ok;
}
