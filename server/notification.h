// The server's broadcast notification (ServerNotification). Posting never
// waits and its result is not checked; nobody answers.
#pragma once

#include <cstdint>

using NotificationSink = void (*)(uint32_t wParam, int32_t lParam);

// Posts one notification through the current sink.
void PostServerNotification(uint32_t wParam, int32_t lParam);

// Replaces the sink (tests record notifications); null restores the default:
// on Windows a broadcast to every top-level window, natively nothing.
// Returns the previous sink.
NotificationSink SetNotificationSink(NotificationSink sink);

// Waits until every notification posted so far has gone out (the platform
// sink posts from a thread of its own); false on time-out.
bool FlushServerNotifications(uint32_t timeoutMs);

// The platform's own sink, and its flush.
void PlatformPostNotification(uint32_t wParam, int32_t lParam);
bool PlatformFlushNotifications(uint32_t timeoutMs);
