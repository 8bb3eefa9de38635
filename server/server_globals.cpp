#include "server_globals.h"

alignas(8) unsigned char g_MessageBuffer[kMessageBufferSize];
std::atomic<uint32_t> g_dwMessageLength{0};
std::atomic<bool> g_bIcaSession{false};
std::atomic<HANDLE> g_hIcaChannel{nullptr};
HANDLE g_hEventPassedOk = nullptr;
CIcaBufferHandoff g_IcaHandoff;

bool InitServerGlobals()
{
    ServerLock();
    if (!g_hEventPassedOk)
        g_hEventPassedOk = CreateEventW(nullptr, FALSE, FALSE, L"Event_Passed_OK");
    return g_hEventPassedOk != nullptr;
}

void IcaChannelEventName(int n, wchar_t (&name)[8])
{
    const wchar_t base[] = L"ZRBCh0";
    for (int i = 0; i < 6; ++i)
        name[i] = base[i];
    name[6] = static_cast<wchar_t>(L'0' + (n >= 0 && n <= 9 ? n : 0));
    name[7] = 0;
}
