// Player command messages written to the client's player: "CONT" (a command
// with four values) and "RUOF" (open this file).
#pragma once

#include "player_command_table.h"
#include "protocol.h"

#include <cstddef>
#include <cstdint>

#define PLAYER_CMD_VALUE(NAME, code, ...) PLAYER_CMD_##NAME = code,
enum PlayerCommand : uint32_t {
    PLAYER_COMMAND_TABLE(PLAYER_CMD_VALUE, PLAYER_TABLE_SKIP, PLAYER_CMD_VALUE, PLAYER_TABLE_SKIP)
};
#undef PLAYER_CMD_VALUE

constexpr uint32_t kPlayerControlSize = 52;
constexpr uint32_t kPlayerOpenSize = 560;

struct PlayerControl
{
    uint32_t dwCommand;
    int32_t nParam1, nParam2, nParam3, nParam4;
};

// Both write into a buffer of at least the message's size and return the
// length to write (32 + dwMessageDataSize).
uint32_t ComposeControlMessage(unsigned char (&out)[kPlayerControlSize], uint32_t psn, const PlayerControl &cmd);
uint32_t ComposeOpenMessage(unsigned char (&out)[kPlayerOpenSize], uint32_t psn, const WireChar *name, size_t units);

// The command's name without its prefix ("PLAY", "VOLUME", "MINIMIZE"),
// or null for a code that is not a player command.
const char *PlayerCommandName(uint32_t code);
// The code of such a name; false when there is none.
bool PlayerCommandByName(const char *name, uint32_t *code);

bool ReadControlMessage(const void *msg, uint32_t n, PlayerControl *out);
bool ReadOpenMessage(const void *msg, uint32_t n, OpenRequest *out);
