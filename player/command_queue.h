// The player's command queue: what the window wants the client player to
// do, kept first in, first out until the worker thread writes it to the
// player channel. Portable: the thread, its events and the channel are the
// Windows shell (player_commands_win.h); here is the list, the merging of
// repeated neighbours and the composing of each message.
#pragma once

#include "wire.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

enum CommandType : uint32_t {
    COMMAND_OPEN_FILE = 0,
    COMMAND_PLAYER = 1,
};

constexpr size_t kCommandNameUnits = 260;
// The worker's message buffer: room for either message, zeroed before each.
constexpr uint32_t kPlayerMessageBufferSize = 1600;
// Every player command waits this long before it is written, so a dragged
// slider or a moved window reaches the client about ten times a second,
// each time with its latest values. Open commands go at once.
constexpr uint32_t kPlayerCommandDelayMs = 100;

// One queued command, copied into and out of the list by value.
class CCommand
{
public:
    CCommand() = default;
    CCommand(const CCommand &) = default;
    CCommand &operator=(const CCommand &) = default;
    virtual ~CCommand() = default;

    // An open command: the first min(length, 260) units of a NUL-terminated
    // name; a name of 260 units or more fills the field with no terminator.
    static CCommand OpenFile(const WireChar *name);
    static CCommand Player(uint32_t code, int32_t p1 = 0, int32_t p2 = 0, int32_t p3 = 0, int32_t p4 = 0);

    uint32_t dwCommandType = COMMAND_OPEN_FILE;
    WireChar szFileName[kCommandNameUnits] = {};
    uint32_t dwCommand = 0;
    int32_t nParam1 = 0;
    int32_t nParam2 = 0;
    int32_t nParam3 = 0;
    int32_t nParam4 = 0;
    // Part of what a reconnect sends again: a later reconnect's resend
    // replaces what is still queued of it (never on the wire).
    bool bResend = false;
};

// Equal player commands that are direct neighbours become one, at the place
// of the first, with the values of the last. Codes compare as whole 32-bit
// values, so a minimise never merges with a resize; an open command between
// two equal commands keeps them apart.
void MergeRepeatedCommands(std::list<CCommand> &commands);

// Writes the message of one command into `buffer` (at least 560 bytes) and
// returns its length (52 for "CONT", 560 for "RUOF"), or 0 for a command of
// an unknown type.
uint32_t ComposeCommandMessage(const CCommand &command, uint32_t psn, unsigned char *buffer);

// Results of the queueing operations and of ComposeCommandBuffer.
enum QueueResult : int { QUEUE_DONE = 0, QUEUE_REFUSED = 1, QUEUE_EMPTY = 2 };

class CPlayerCommandQueue
{
public:
    CPlayerCommandQueue();
    virtual ~CPlayerCommandQueue() = default;
    CPlayerCommandQueue(const CPlayerCommandQueue &) = delete;
    CPlayerCommandQueue &operator=(const CPlayerCommandQueue &) = delete;

    // 0: queued; 1: refused because the worker is not running (list and
    // checksum unchanged). An accepted name's checksum covers the whole
    // name, also beyond the 260 units that are sent.
    int QueueOpenFile(const WireChar *name);
    int QueuePlayerCommand(uint32_t code, int32_t p1 = 0, int32_t p2 = 0, int32_t p3 = 0, int32_t p4 = 0);
    // Appends any command while running (a command of unknown type is how
    // the worker's error path is reached).
    int Queue(const CCommand &command);
    uint16_t GetFileChecksum() const { return m_wFileChecksum.load(); }

    // The worker's step: merges repeated neighbours, takes the oldest
    // command and composes its message into `buffer` (at least 560 bytes;
    // `*length` gets its length). A player command first waits 100 ms.
    // 0: composed; 1: the oldest command had an unknown type (it is lost);
    // 2: the list was empty.
    int ComposeCommandBuffer(unsigned char *buffer, uint32_t size, uint32_t *length);

    // The command ComposeCommandBuffer took last goes back to the front of
    // the list (its write failed; it is sent once more).
    void PutBackLast();
    // Puts `first` before everything queued, where the queued position
    // commands (MOVE, SIZE, MINIMIZE, ACTIVATE) and what an earlier resend
    // left unsent are dropped: `first` tells the client where things stand
    // now. Works whether running or not.
    void Resume(const std::vector<CCommand> &first);

    // A worker that waits for the user to answer one of its boxes cannot be
    // stopped, and a session's connect must not wait for the user (nor
    // give up on a fresh client because of a box). The worker marks its
    // boxes; while one is open, HandOverRestart queues `first` as Resume
    // does and asks the worker to start over with a fresh channel once the
    // box is answered. False, with nothing changed, when no box is open.
    void EnterBox();
    void LeaveBox();
    bool HandOverRestart(const std::vector<CCommand> &first);
    // A restart was handed over: the worker's loop ends once its box is
    // answered (no stop event tells it; the window has reset that).
    bool RestartPending() const;
    // The worker's question once its loop ended: start over (the request is
    // taken), or end?
    bool TakeRestart();

    void SetRunning(bool running) { m_bRunning.store(running); }
    bool IsRunning() const { return m_bRunning.load(); }
    size_t Count() const;

    // Called under the list's lock after every append (the worker's wake-up);
    // cleared with an empty function.
    void SetWaker(std::function<void()> waker);
    // The 100 ms wait before a player command; tests make it instant.
    void SetSleeper(std::function<void(uint32_t ms)> sleeper) { m_sleep = std::move(sleeper); }

private:
    int Append(const CCommand &command);
    void ResumeLocked(const std::vector<CCommand> &first);
    uint32_t NextPsn();

    mutable std::mutex m_lock;   // the list and the waker
    std::list<CCommand> m_lstCommands;
    CCommand m_lastTaken;
    bool m_bLastTaken = false;
    std::function<void()> m_wake;
    bool m_bInBox = false;
    bool m_bRestart = false;
    std::function<void(uint32_t)> m_sleep;
    std::atomic<uint16_t> m_wFileChecksum{0};
    std::atomic<bool> m_bRunning{false};
    uint32_t m_dwPsnSeed = 1;   // the worker's own; nothing reads the PSN
};
