// What the client core needs from its platform (a FreeRDP channel plug-in,
// the tests' fakes): a writer for the session's channels, a clock and a log.
// The core calls them from the thread that feeds it and never blocks on
// them, so a shell can drive it from a channel callback or a timer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Routes: where a message belongs whatever the layout carries it on. RDP
// gives each its own channel; ICA carries all on one and says the route
// in the header's channel number.
//   CHANNEL_CONTROL (-1)  requests and replies of the control channel
//   CHANNEL_PLAYER (-2)   what the server side originates (SEND, CONT, RUOF)
//   0 ... 9               a file's data channel
class CClientChannelOps
{
public:
    // Writes one whole message to the route's channel; false when the
    // channel took none of it (the request then fails at once).
    virtual bool Write(int32_t route, const unsigned char *bytes, size_t n) = 0;

protected:
    ~CClientChannelOps() = default;
};

class CClientClockOps
{
public:
    // Milliseconds of a monotonic clock.
    virtual uint64_t NowMs() = 0;

protected:
    ~CClientClockOps() = default;
};

class CClientLogOps
{
public:
    virtual void Line(const std::string &text) = 0;

protected:
    ~CClientLogOps() = default;
};

// printf-style into one log line.
void LogLine(CClientLogOps &log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
