#include "player_msg.h"

#include <cstring>

namespace {

void PlayerHeader(unsigned char *out, uint32_t type, uint32_t dataSize, uint32_t psn)
{
    MessageHeader h{};
    h.dwMessageType = type;
    h.dwMessageDataSize = dataSize;
    h.dwPSN = psn;
    h.dwChannelNumber = CHANNEL_PLAYER;
    StoreHeader(out, h);
}

struct CommandName
{
    uint32_t code;
    const char *name;
};

#define COMMAND_NAME(NAME, ...) {PLAYER_CMD_##NAME, #NAME},
constexpr CommandName kCommandNames[] = {
    PLAYER_COMMAND_TABLE(COMMAND_NAME, PLAYER_TABLE_SKIP, COMMAND_NAME, PLAYER_TABLE_SKIP)
};
#undef COMMAND_NAME

} // namespace

const char *PlayerCommandName(uint32_t code)
{
    for (const CommandName &c : kCommandNames) {
        if (c.code == code)
            return c.name;
    }
    return nullptr;
}

bool PlayerCommandByName(const char *name, uint32_t *code)
{
    for (const CommandName &c : kCommandNames) {
        if (name && std::strcmp(c.name, name) == 0) {
            *code = c.code;
            return true;
        }
    }
    return false;
}

uint32_t ComposeControlMessage(unsigned char (&out)[kPlayerControlSize], uint32_t psn, const PlayerControl &cmd)
{
    std::memset(out, 0, sizeof out);
    PlayerHeader(out, PYXMSG_PLAYER_CONTROL, kPlayerControlSize - kHeaderSize, psn);
    StoreLE32(out + 32, cmd.dwCommand);
    StoreLE32s(out + 36, cmd.nParam1);
    StoreLE32s(out + 40, cmd.nParam2);
    StoreLE32s(out + 44, cmd.nParam3);
    StoreLE32s(out + 48, cmd.nParam4);
    return kPlayerControlSize;
}

uint32_t ComposeOpenMessage(unsigned char (&out)[kPlayerOpenSize], uint32_t psn, const WireChar *name, size_t units)
{
    std::memset(out, 0, sizeof out);
    PlayerHeader(out, PYXMSG_PLAYER_OPEN, kPlayerOpenSize - kHeaderSize, psn);
    const size_t n = units < kNameUnits ? units : kNameUnits;
    for (size_t i = 0; i < n; ++i)
        StoreLE16(out + 32 + 2 * i, static_cast<uint16_t>(name[i]));
    return kPlayerOpenSize;
}

bool ReadControlMessage(const void *msg, uint32_t n, PlayerControl *out)
{
    if (n < kPlayerControlSize)
        return false;
    const unsigned char *b = static_cast<const unsigned char *>(msg);
    out->dwCommand = LoadLE32(b + 32);
    out->nParam1 = LoadLE32s(b + 36);
    out->nParam2 = LoadLE32s(b + 40);
    out->nParam3 = LoadLE32s(b + 44);
    out->nParam4 = LoadLE32s(b + 48);
    return true;
}

bool ReadOpenMessage(const void *msg, uint32_t n, OpenRequest *out)
{
    return ReadOpenRequest(msg, n, out);
}
