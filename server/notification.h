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

// The platform's own sink.
void PlatformPostNotification(uint32_t wParam, int32_t lParam);
