#include "ica_share_win.h"

#include <new>

std::shared_ptr<CIcaShare> MakeIcaShare()
{
    std::shared_ptr<CIcaShare> share(new (std::nothrow) CIcaShare);
    if (!share)
        return nullptr;
    share->hPassedOk.Reset(CreateEventW(nullptr, FALSE, FALSE, L"Event_Passed_OK"));
    return share->hPassedOk ? share : nullptr;
}

bool InitServerGlobals()
{
    ServerLock();
    return true;
}

void IcaChannelEventName(int n, wchar_t (&name)[8])
{
    const wchar_t base[] = L"ZRBCh0";
    for (int i = 0; i < 6; ++i)
        name[i] = base[i];
    name[6] = static_cast<wchar_t>(L'0' + (n >= 0 && n <= 9 ? n : 0));
    name[7] = 0;
}
