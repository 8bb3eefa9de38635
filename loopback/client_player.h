// The client's media player on the loopback platform, on top of the client
// device: it takes the player program's messages from the player route,
// checks each against the bytes received, answers the server's
// solicitations, and acts on the commands as a player would: opens the named
// file on the server, reads it at a pace with every byte checked against the
// local file of that name, pauses, resumes, seeks and closes it. It logs a
// line per message and a summary at the end. When the client roams (the
// device's option, or a Disconnect from elsewhere) the open file is gone
// with the session; after the reconnect it acts on what the player program
// sends again, and logs where the play resumed.
#pragma once

#include "client_device.h"
#include "player_check.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace loopback {

struct PlayerOptions
{
    DeviceOptions device;          // SEND parameters, read size, reply time-out, expectOpenFail,
                                   // roamAfterSeconds (from the player's start) and roamGapSeconds
    uint32_t playKbps = 0;         // reading pace in kilobits per second; 0: as fast as it can
    double fastAfterSeconds = -1;  // full speed from this long after an open; < 0: never
    double seconds = 30;           // length of the run; 0: until stopped
    bool exitOnClose = false;      // CLOSE and KILL_PLAYER end the run
};

// A message of the player route, handed to m_onMessage once acted on.
struct PlayerEvent
{
    PlayerMessage message;
    std::chrono::steady_clock::time_point arrived;   // when its last byte came in
    double ms = 0;                                   // the same, since the player started
};

struct PlayerSummary
{
    uint32_t commands = 0;       // CONT and RUOF that passed the checks
    uint32_t opens = 0;          // OPEN requests sent
    uint32_t closes = 0;         // CLOS requests sent
    uint32_t pauses = 0;
    uint32_t plays = 0;
    uint32_t seeks = 0;
    uint32_t solicitations = 0;  // answered with SEND
    uint64_t bytes = 0;          // received and checked, every file
    uint32_t mismatches = 0;     // bytes that differ from the local file
    uint32_t protocolErrors = 0; // bad player messages and bad replies
    uint32_t failures = 0;       // exchanges that failed, opens refused unexpectedly
    std::u16string lastName;
    // The file open now.
    bool open = false;
    bool playing = false;
    bool atEnd = false;          // read past its end
    uint32_t size = 0;
    uint32_t position = 0;       // where the next read begins
    // Roaming.
    uint32_t reconnects = 0;
    int64_t disconnectedAt = -1; // the open file's position at the disconnect; -1: none was open
    int64_t resumedAt = -1;      // where the first read after the reconnect began; -1: none yet
    double firstByteAfterReconnectMs = -1;   // from the reconnect to the first data byte after it

    bool Ok() const { return mismatches == 0 && protocolErrors == 0 && failures == 0; }
    std::string Line() const;
};

class CClientPlayer
{
public:
    CClientPlayer(ClientDevice &device, const PlayerOptions &options);
    CClientPlayer(const CClientPlayer &) = delete;
    CClientPlayer &operator=(const CClientPlayer &) = delete;

    // Handles the player route and reads until the time is up, Stop() is
    // called, or CLOSE or KILL_PLAYER comes with exitOnClose; then closes a
    // file still open and logs the summary.
    PlayerSummary Run();
    void Stop() { m_bStop = true; }
    // The counts so far, from any thread.
    PlayerSummary Snapshot() const;

    // Lines as pyxclient prints them ("player: ..."); none by default.
    std::function<void(const std::string &)> m_log;
    std::function<void(const PlayerEvent &)> m_onMessage;

private:
    using Clock = std::chrono::steady_clock;
    struct File
    {
        FileReport report;   // descriptor, data channel, this file's counts
        std::shared_ptr<const std::vector<unsigned char>> want;   // null for a URL
        bool url = false;
        bool reposition = false;   // the next read is positioned
        Clock::time_point opened;
        Clock::time_point paceStart;
        uint64_t paceBytes = 0;    // read since paceStart
    };

    void Handle(const ReceivedMessage &m);
    void Command(const PlayerControl &c);
    void Open(const std::u16string &name);
    void Close();
    void Step();
    void Restart(uint32_t position);
    void RoamOnSchedule();
    void Disconnected();
    Clock::time_point NextRead() const;
    FileReport Exchange() const;
    bool Account(const FileReport &r);
    void Log(const std::string &line);
    double Ms(Clock::time_point t) const;
    void Publish();

    ClientDevice &m_device;
    PlayerOptions m_options;
    Clock::time_point m_start;
    std::atomic<bool> m_bStop{false};
    bool m_bQuit = false;
    PlayerSummary m_sum;   // the loop's own
    File m_file;           // valid while m_sum.open
    uint64_t m_generation = 0;     // the device's, as last seen: a change is a disconnect
    bool m_bRoamed = false;        // the scheduled roam is done (or going on)
    Clock::time_point m_reconnectDue{};   // while the scheduled roam waits out its gap
    bool m_bResumePending = false; // the first read after a reconnect is still to come
    Clock::time_point m_lastMessage{};
    mutable std::mutex m_lock;
    PlayerSummary m_published;
};

// Parses `pyxclient --player ...`: the device options of SEND, reads and
// --roam plus --play-kbps, --fast-after, --seconds and --exit-on-close.
// False with a message on a bad command line.
bool ParsePlayerOptions(const std::vector<std::string> &args, PlayerOptions *out, bool *ica, std::string *error);

} // namespace loopback
