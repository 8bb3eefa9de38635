// What the client's player makes of a message on the player route: the
// server's parameter solicitation, a command (CONT) or an open (RUOF), each
// checked against the bytes received. Anything else is a protocol error.
// Portable: no platform calls.
#pragma once

#include "player_msg.h"
#include "utf8.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace loopback {

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

// The message as one line, without the time: "RUOF name=C:\x\a.wav",
// "CONT PAUSE 0 0 0 0", "SEND solicitation", "bad: <what>".
std::string PlayerMessageText(const PlayerMessage &m);

// A name as the emulator prints it: a lone surrogate becomes U+FFFD.
inline std::string Utf8(const std::u16string &s) { return Utf8Of(s, LoneSurrogate::Replace); }

} // namespace loopback
