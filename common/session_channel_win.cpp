#include "session_channel_win.h"

#include "api_sets_win.h"
#include "channel_ica_win.h"
#include "channel_rdp_win.h"
#include "protocol.h"
#include "trace.h"

namespace {

constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);
constexpr DWORD kIcaReadTimeoutMs = 500;

} // namespace

SessionSearch FindSessionKind(SessionKind *kind, const std::function<void(const wchar_t *)> &showBox)
{
    BindApiFunctions();
    unsigned char retry = 0;
    *kind = WaitForSession(&retry);
    if (retry)
        return SessionSearch::NotYet;
    if (*kind == SessionKind::Ica && !IsIcaApiLoaded()) {
        showBox(L"Failed to load appropriate (ICA) api set!");
        return SessionSearch::NoApi;
    }
    if (*kind == SessionKind::Rdp && !IsRdpApiLoaded()) {
        showBox(L"Failed to load appropriate (RDP) api set!");
        return SessionSearch::NoApi;
    }
    return SessionSearch::Found;
}

std::unique_ptr<CChannelIO> MakeSessionChannel(SessionKind kind)
{
    if (kind == SessionKind::Ica)
        return std::make_unique<CIcaChannelIO>();
    return std::make_unique<CRdpChannelIO>();
}

bool OpenSessionChannel(CChannelIO &channel, SessionKind kind, const char *rdpName, HANDLE cancelEvent,
                        const wchar_t *who)
{
    if (kind == SessionKind::Ica) {
        if (channel.OpenChannel(nullptr, kCurrentSession, kIcaChannelName, kIcaReadTimeoutMs))
            return true;
        PYX_TRACE(L"%sWFVirtualChannelOpen fails 0x%X\r\n", who, GetLastError());
        return false;
    }
    if (channel.OpenChannel(nullptr, kCurrentSession, rdpName, reinterpret_cast<uintptr_t>(cancelEvent)))
        return true;
    PYX_TRACE(L"%sWTSVirtualChannelOpen fails 0x%X\r\n", who, GetLastError());
    return false;
}
