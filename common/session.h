// Decides whether the program runs in an ICA session, an RDP session, or
// not yet in a remote session. The platform calls sit behind SessionOps so
// the decision can be made (and tested) without the remote-desktop stack.
#pragma once

#include "wire.h"

#include <cstdint>
#include <string>

struct ServiceProbe
{
    bool managerOpened = false;
    uint32_t managerError = 0;
    bool serviceOpened = false;
    uint32_t serviceError = 0;
    bool statusRead = false;
    uint32_t statusError = 0;
};

struct SessionOps
{
    // Reads "SESSIONNAME": false when reading failed (error set); an unset
    // variable reads successfully with present = false.
    bool (*ReadSessionName)(std::u16string *value, bool *present, uint32_t *error);
    // Opens the service manager and "HalvernService" (full access) and
    // queries the service's status; every handle is closed again.
    ServiceProbe (*ProbeHalvernService)();
    // GetSystemMetrics(SM_REMOTESESSION) != 0.
    bool (*IsRemoteSession)();
    // WTSQuerySessionInformationW is resolved.
    bool (*CanQueryProtocol)();
    // ProcessIdToSessionId for this process: the call's own result (0 on
    // failure, with error set), which the log line prints.
    int (*GetSessionId)(uint32_t *session, uint32_t *error);
    // The client protocol type of the session: false on failure (error and
    // byte count set); hasBuffer false when no buffer came back.
    bool (*QueryProtocolType)(uint32_t session, bool *hasBuffer, uint16_t *value, uint32_t *error, uint32_t *bytes);
};

// The platform's operations by default (Windows); tests replace them.
const SessionOps &GetSessionOps();
void SetSessionOps(const SessionOps *ops);   // null restores the default
const SessionOps *DefaultSessionOps();

// The two kinds of remote session, each with its own channel library and
// channel layout: RDP ("pyxcm", "pyx00" ... "pyx09", "pyxan") and ICA (one
// "ZRBCHNL" carrying the channel number in each message's header).
enum class SessionKind { Rdp, Ica };

// The session's kind; retry is 1 while no decision can be made yet (the
// kind returned then means nothing).
SessionKind WaitForSession(unsigned char *retry);

// --- the session's connect state ---------------------------------------------
// A session the user disconnected from keeps running; its channels are dead
// and nobody sees its screen until the user connects again, perhaps from
// another client.

constexpr int32_t kWtsConnectStateActive = 0;       // WTSActive
constexpr int32_t kWtsConnectStateDisconnected = 4; // WTSDisconnected

// Reads the session's WTS_CONNECTSTATE_CLASS; false when it cannot be had.
using ConnectStateQuery = bool (*)(int32_t *state);
void SetConnectStateQuery(ConnectStateQuery query);   // null restores the platform's

// False only when the session is known to be disconnected: a query that
// fails counts as connected, so that nothing is held back on a platform
// that cannot tell.
bool IsSessionConnected();

// What a WM_WTSSESSION_CHANGE code means here: the console and the remote
// kinds are alike (a session may move between them).
enum class SessionChange { Other, Connect, Disconnect };
SessionChange ClassifySessionChange(uint32_t code);
