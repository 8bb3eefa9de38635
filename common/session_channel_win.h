// Finding the session and opening its channels, as both programs do: the
// session's kind, the channel functions of its library, and a channel by
// the kind's layout. Windows.
#pragma once

#include "channel_io.h"
#include "session.h"

#include <windows.h>

#include <functional>
#include <memory>

// What FindSessionKind found.
enum class SessionSearch {
    Found,    // a remote session whose library has its channel functions
    NotYet,   // not (yet) a remote session: the server waits, the player gives up
    NoApi,    // the library of the session's kind lacks functions: told by a box
};

// Binds the channel libraries' functions and decides the session's kind;
// without the functions of that kind's library, `showBox` tells the user
// ("Failed to load appropriate (ICA) api set!" or "(RDP)").
SessionSearch FindSessionKind(SessionKind *kind, const std::function<void(const wchar_t *)> &showBox);

// A channel of the kind's class, not yet open.
std::unique_ptr<CChannelIO> MakeSessionChannel(SessionKind kind);

// Opens `channel` in the current session by the kind's layout: ICA's one
// channel (its reads wait at most 500 ms), or the RDP channel `rdpName`,
// whose pending write `cancelEvent` cancels when set. On failure a trace
// line, `who` first, names the library's open and its error.
bool OpenSessionChannel(CChannelIO &channel, SessionKind kind, const char *rdpName, HANDLE cancelEvent,
                        const wchar_t *who = L"");
