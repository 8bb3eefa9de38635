// The server's broadcast notifications: codes and the wParam layout.
#pragma once

#include <cstdint>

constexpr wchar_t kServerNotificationName[] = L"UWM_REZUZEROD_GUI_SERVER_INTERFACE";

enum NotifyCode : uint32_t {
    NOTIFY_FILE_OPENED = 0,
    NOTIFY_SERVER_READY = 1,
    NOTIFY_SEEK = 2,
    NOTIFY_READ = 3,
    NOTIFY_FILE_CLOSED = 4,
    NOTIFY_FILE_SIZE = 5,
    NOTIFY_SERVER_ENDED = 7,
};

// Bits 0-7 the code, 8-15 the seek origin (code 2), 16-31 the name checksum.
constexpr uint32_t MakeNotifyWParam(uint32_t code, uint32_t origin, uint16_t checksum)
{
    return (code & 0xFF) | ((origin & 0xFF) << 8) | (uint32_t(checksum) << 16);
}
constexpr uint32_t NotifyCodeOf(uint32_t wParam) { return wParam & 0xFF; }
constexpr uint32_t NotifyOriginOf(uint32_t wParam) { return (wParam >> 8) & 0xFF; }
constexpr uint16_t NotifyChecksumOf(uint32_t wParam) { return static_cast<uint16_t>(wParam >> 16); }

static_assert(MakeNotifyWParam(2, 2, 0xABCD) == 0xABCD0202u);
