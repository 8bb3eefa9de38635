#include "notification.h"

// No desktop to tell outside Windows.
void PlatformPostNotification(uint32_t, int32_t) {}
bool PlatformFlushNotifications(uint32_t) { return true; }
