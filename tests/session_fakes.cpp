#include "session_fakes.h"

#include "session.h"

#include <windows.h>

namespace {

bool RdpSessionName(std::u16string *value, bool *present, uint32_t *)
{
    *value = u"RDP-Tcp#3";
    *present = true;
    return true;
}
ServiceProbe NoService()
{
    ServiceProbe probe;
    probe.managerOpened = true;
    probe.serviceError = ERROR_SERVICE_DOES_NOT_EXIST;
    return probe;
}
bool Yes() { return true; }
int SessionThree(uint32_t *session, uint32_t *)
{
    *session = 3;
    return 1;
}
bool RdpProtocol(uint32_t, bool *hasBuffer, uint16_t *value, uint32_t *, uint32_t *bytes)
{
    *hasBuffer = true;
    *value = 2;
    *bytes = 2;
    return true;
}
const SessionOps kRdpOps = {RdpSessionName, NoService, Yes, Yes, SessionThree, RdpProtocol};

} // namespace

void UseRdpSessionOps() { SetSessionOps(&kRdpOps); }
void UsePlatformSessionOps() { SetSessionOps(nullptr); }
