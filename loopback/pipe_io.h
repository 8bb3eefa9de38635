// Named-pipe plumbing of the loopback platform: the stand-in channel
// libraries and the client emulator talk over message-mode pipes named
// \\.\pipe\tarsel-vc-NAME (one write is one message, one read one message).
#pragma once

#include <windows.h>

#include <string>

namespace loopback {

// The session's connect state, shared by the stand-in libraries and the
// client emulator. While this named manual-reset event exists and is
// signalled, the session reads disconnected (WTSConnectState).
constexpr wchar_t kSessionDisconnectedEvent[] = L"tarsel-vc-session-disconnected";
// While this named manual-reset event exists and is signalled, the client's
// player does not listen yet (right after a reconnect): a process that has
// written the player's messages (RUOF, CONT) cannot open a channel.
constexpr wchar_t kPlayerLateEvent[] = L"tarsel-vc-player-late";
// The window property WTSRegisterSessionNotification sets: windows that
// carry it get WM_WTSSESSION_CHANGE when the client leaves and comes back.
constexpr wchar_t kSessionNotifyProperty[] = L"TarselSessionNotify";

std::wstring PipeName(const char *channel);

// One overlapped read or write on a handle opened for overlapped I/O, waiting
// at most timeoutMs (INFINITE for no limit). On a time-out the operation is
// cancelled and false is returned with *done 0 and WAIT_TIMEOUT as last error.
// A read of a message longer than the buffer returns its first part.
// `stop` (optional): once signalled, the wait ends as a time-out does, with
// ERROR_OPERATION_ABORTED.
bool PipeIo(HANDLE pipe, bool write, void *buffer, DWORD length, DWORD *done, DWORD timeoutMs,
            HANDLE stop = nullptr);

} // namespace loopback
