#include "player_check.h"

#include "utf8.h"

#include <cstdarg>
#include <cstdio>

namespace {

// gnu_printf for mingw, whose plain printf would not know %zu; clang (the
// fuzz build) knows only printf.
#if defined(__clang__)
PlayerMessage Bad(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#else
PlayerMessage Bad(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif
PlayerMessage Bad(const char *fmt, ...)
{
    char text[160];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    PlayerMessage m;
    m.error = text;
    return m;
}

// The code as text, unprintable bytes as dots.
std::string CodeText(const unsigned char *b)
{
    std::string code(4, '.');
    for (int i = 0; i < 4; ++i) {
        if (b[i] >= 0x20 && b[i] < 0x7F)
            code[i] = static_cast<char>(b[i]);
    }
    return code;
}

bool AllZero(const unsigned char *b, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i) {
        if (b[i])
            return false;
    }
    return true;
}

PlayerMessage CheckControl(const unsigned char *b)
{
    PlayerMessage m;
    ReadControlMessage(b, kPlayerControlSize, &m.control);
    const PlayerControl &c = m.control;
    const char *name = PlayerCommandName(c.dwCommand);
    if (!name)
        return Bad("CONT with unknown command 0x%08x", c.dwCommand);
    if ((c.dwCommand == PLAYER_CMD_SEEK || c.dwCommand == PLAYER_CMD_VOLUME) && (c.nParam1 < 0 || c.nParam1 > 100))
        return Bad("CONT %s %d out of 0..100", name, c.nParam1);
    if (c.dwCommand == PLAYER_CMD_ACTIVATE && c.nParam1 != 1 && c.nParam1 != 120)
        return Bad("CONT ACTIVATE %d is neither 1 nor 120", c.nParam1);
    m.kind = PlayerMessage::kControl;
    return m;
}

PlayerMessage CheckOpen(const unsigned char *b)
{
    constexpr size_t kReserved = kOpenNameOffset + kNameBytes;   // two words, then the end
    PlayerMessage m;
    size_t units = 0;
    while (units < kNameUnits && LoadLE16(b + kOpenNameOffset + 2 * units) != 0)
        m.name.push_back(static_cast<char16_t>(LoadLE16(b + kOpenNameOffset + 2 * units++)));
    if (units == 0)
        return Bad("RUOF with an empty name");
    // A name of 260 units has no terminator and no padding.
    const size_t padding = kOpenNameOffset + 2 * (units < kNameUnits ? units + 1 : units);
    if (!AllZero(b, padding, kReserved))
        return Bad("RUOF name of %zu units without zero padding", units);
    if (!AllZero(b, kReserved, kPlayerOpenSize))
        return Bad("RUOF reserved words not zero");
    m.kind = PlayerMessage::kOpen;
    return m;
}

} // namespace

bool HasPlayerCode(const unsigned char *msg, size_t n)
{
    if (n < 4)
        return false;
    const uint32_t type = LoadLE32(msg);
    return type == PYXMSG_PLAYER_CONTROL || type == PYXMSG_PLAYER_OPEN;
}

int32_t IcaRouteOf(const unsigned char *msg, size_t n)
{
    if (HasPlayerCode(msg, n))
        return CHANNEL_PLAYER;
    if (n < kHeaderSize)
        return kNoRoute;
    const int32_t channel = MessageChannel(msg);
    return channel == CHANNEL_CONTROL || channel == CHANNEL_PLAYER || IsDataChannel(channel) ? channel : kNoRoute;
}

PlayerMessage CheckPlayerMessage(const unsigned char *b, size_t n)
{
    if (n < kHeaderSize)
        return Bad("short message of %zu bytes", n);
    const MessageHeader h = LoadHeader(b);
    if (h.dwMessageType == PYXMSG_SEND_PARAMS && n == kSolicitationSize) {
        PlayerMessage m;
        m.kind = PlayerMessage::kSolicitation;
        return m;
    }
    const std::string code = CodeText(b);
    size_t size = 0;
    if (h.dwMessageType == PYXMSG_PLAYER_CONTROL)
        size = kPlayerControlSize;
    else if (h.dwMessageType == PYXMSG_PLAYER_OPEN)
        size = kPlayerOpenSize;
    else
        return Bad("unknown message %s of %zu bytes", code.c_str(), n);
    if (n != size)
        return Bad("%s of %zu bytes, not %zu", code.c_str(), n, size);
    if (h.dwMessageDataSize != size - kHeaderSize)
        return Bad("%s with data size %u", code.c_str(), h.dwMessageDataSize);
    if (h.dwChannelNumber != CHANNEL_PLAYER)
        return Bad("%s on channel %d", code.c_str(), h.dwChannelNumber);
    if (!AllZero(b, hdr::kChunkIndex, kHeaderSize))
        return Bad("%s with header bytes 16..31 not zero", code.c_str());
    return h.dwMessageType == PYXMSG_PLAYER_CONTROL ? CheckControl(b) : CheckOpen(b);
}

std::string PlayerMessageText(const PlayerMessage &m)
{
    switch (m.kind) {
    case PlayerMessage::kSolicitation: return "SEND solicitation";
    case PlayerMessage::kOpen: return "RUOF name=" + Utf8Of(m.name, LoneSurrogate::Replace);
    case PlayerMessage::kControl: {
        const PlayerControl &c = m.control;
        char text[96];
        std::snprintf(text, sizeof text, "CONT %s %d %d %d %d", PlayerCommandName(c.dwCommand), c.nParam1, c.nParam2,
                      c.nParam3, c.nParam4);
        return text;
    }
    default: return "bad: " + m.error;
    }
}
