// Native build: no remote-desktop platform, so no session is ever remote.
#include "session.h"

namespace {

bool ReadSessionName(std::u16string *, bool *present, uint32_t *)
{
    *present = false;
    return true;
}
ServiceProbe ProbeHalvernService() { return {}; }
bool IsRemoteSession() { return false; }
bool CanQueryProtocol() { return false; }
int GetSessionId(uint32_t *, uint32_t *) { return 0; }
bool QueryProtocolType(uint32_t, bool *, uint16_t *, uint32_t *, uint32_t *) { return false; }

const SessionOps kNoPlatformOps = {ReadSessionName, ProbeHalvernService, IsRemoteSession, CanQueryProtocol,
                                   GetSessionId, QueryProtocolType};

} // namespace

const SessionOps *DefaultSessionOps() { return &kNoPlatformOps; }

bool PlatformConnectState(int32_t *) { return false; }
