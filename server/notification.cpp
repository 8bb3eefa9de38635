#include "notification.h"

#include <atomic>

namespace {

std::atomic<NotificationSink> g_pfnNotificationSink{nullptr};

} // namespace

void PostServerNotification(uint32_t wParam, int32_t lParam)
{
    const NotificationSink sink = g_pfnNotificationSink.load();
    if (sink)
        sink(wParam, lParam);
    else
        PlatformPostNotification(wParam, lParam);
}

NotificationSink SetNotificationSink(NotificationSink sink)
{
    return g_pfnNotificationSink.exchange(sink);
}

bool FlushServerNotifications(uint32_t timeoutMs)
{
    return g_pfnNotificationSink.load() ? true : PlatformFlushNotifications(timeoutMs);
}

#ifndef _WIN32
// No desktop to tell outside Windows.
void PlatformPostNotification(uint32_t, int32_t) {}
bool PlatformFlushNotifications(uint32_t) { return true; }
#endif
