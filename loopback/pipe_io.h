// Named-pipe plumbing of the loopback platform: the stand-in channel
// libraries and the client emulator talk over message-mode pipes named
// \\.\pipe\tarsel-vc-NAME (one write is one message, one read one message).
#pragma once

#include <windows.h>

#include <string>

namespace loopback {

std::wstring PipeName(const char *channel);

// One overlapped read or write on a handle opened for overlapped I/O, waiting
// at most timeoutMs (INFINITE for no limit). On a time-out the operation is
// cancelled and false is returned with *done 0 and WAIT_TIMEOUT as last error.
// A read of a message longer than the buffer returns its first part.
bool PipeIo(HANDLE pipe, bool write, void *buffer, DWORD length, DWORD *done, DWORD timeoutMs);

} // namespace loopback
