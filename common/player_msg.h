// Player command messages written to the client's player: "CONT" (a command
// with four values) and "RUOF" (open this file).
#pragma once

#include "protocol.h"

#include <cstddef>
#include <cstdint>

enum PlayerCommand : uint32_t {
    PLAYER_CMD_MOVE = 0x00030000,
    PLAYER_CMD_SIZE = 0x00050000,
    PLAYER_CMD_MINIMIZE = 0x00050001,
    PLAYER_CMD_CLOSE = 0x00100000,
    PLAYER_CMD_PLAY = 0x00210000,
    PLAYER_CMD_STOP = 0x00220000,
    PLAYER_CMD_PAUSE = 0x00230000,
    PLAYER_CMD_STEP = 0x00240000,
    PLAYER_CMD_REWIND = 0x00250000,
    PLAYER_CMD_FAST_FORWARD = 0x00260000,
    PLAYER_CMD_VOLUME = 0x00270000,
    PLAYER_CMD_MUTE = 0x00280000,
    PLAYER_CMD_AUDIO_OFF = 0x00290000,
    PLAYER_CMD_FULL_SCREEN = 0x002A0000,
    PLAYER_CMD_KILL_PLAYER = 0x002B0000,
    PLAYER_CMD_SEEK = 0x002C0000,
    PLAYER_CMD_ACTIVATE = 0x002D0000,
    PLAYER_CMD_SKIP_FORWARD = 0x002F0000,
    PLAYER_CMD_SKIP_BACK = 0x00300000,
};

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
