// What the client's player makes of a message on the player route: the
// server's parameter solicitation, a command (CONT) or an open (RUOF), each
// checked against the bytes received. Anything else is a protocol error.
// Portable: no platform calls. The client emulator and the client core
// both check with it.
#pragma once

#include "player_msg.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct PlayerMessage
{
    enum Kind { kBad, kSolicitation, kControl, kOpen };
    Kind kind = kBad;
    PlayerControl control{};   // kControl
    std::u16string name;       // kOpen: the name or URL, without padding
    std::string error;         // kBad: what is wrong with it
};

// Checks the n bytes received; never looks past them.
PlayerMessage CheckPlayerMessage(const unsigned char *msg, size_t n);

// True for the player's codes (CONT, RUOF) whatever the channel number says:
// on ICA such a message goes to the player even with a wrong channel number,
// so the player sees it and counts the fault.
bool HasPlayerCode(const unsigned char *msg, size_t n);

// Where a message of ICA's one channel belongs: the player's codes go to the
// player route (CHANNEL_PLAYER) whatever the header says; anything else to
// the header's channel number, when it is the control route or a data
// channel. kNoRoute for the rest, and for fewer bytes than a header.
constexpr int32_t kNoRoute = INT32_MIN;
int32_t IcaRouteOf(const unsigned char *msg, size_t n);

// The message as one line, without the time: "RUOF name=C:\x\a.wav",
// "CONT PAUSE 0 0 0 0", "SEND solicitation", "bad: <what>".
std::string PlayerMessageText(const PlayerMessage &m);
