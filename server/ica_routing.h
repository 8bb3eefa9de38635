// ICA: hands a data-channel message in g_MessageBuffer to the worker of its
// channel and waits until the worker is done with the buffer.
#pragma once

#include <windows.h>

#include "protocol.h"

// The hand-off events "ZRBCh00" ... "ZRBCh09", made on first use and kept for
// the life of the process.
extern HANDLE g_ChannelEvents[kDataChannelCount];

constexpr DWORD kHandoffWaitMs = 1500;

// Offers the message (n bytes received) to the worker of data channel
// `channel`; a channel without a file, or whose worker is still in a
// request, drops it at once with a log line. True when the worker took it
// and gave the buffer back within 1500 ms. On a time-out a worker that has taken the message is waited for
// (the buffer is never reused under it); hExit, when set, ends that wait.
bool pass_the_message(int channel, uint32_t n, HANDLE hExit = nullptr);

// Waits until no worker holds g_MessageBuffer, or hExit is set.
void WaitForBufferReturned(HANDLE hExit);
