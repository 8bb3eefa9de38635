#include "command_queue.h"

#include "checksum.h"
#include "player_msg.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

CCommand CCommand::OpenFile(const WireChar *name)
{
    CCommand c;
    for (size_t i = 0; name && i < kCommandNameUnits && name[i]; ++i)
        c.szFileName[i] = name[i];
    return c;
}

CCommand CCommand::Player(uint32_t code, int32_t p1, int32_t p2, int32_t p3, int32_t p4)
{
    CCommand c;
    c.dwCommandType = COMMAND_PLAYER;
    c.dwCommand = code;
    c.nParam1 = p1;
    c.nParam2 = p2;
    c.nParam3 = p3;
    c.nParam4 = p4;
    return c;
}

void MergeRepeatedCommands(std::list<CCommand> &commands)
{
    if (commands.size() < 2)
        return;
    auto earlier = commands.begin();
    auto later = std::next(earlier);
    while (later != commands.end()) {
        if (earlier->dwCommandType == COMMAND_PLAYER && earlier->dwCommand == later->dwCommand) {
            earlier->nParam1 = later->nParam1;
            earlier->nParam2 = later->nParam2;
            earlier->nParam3 = later->nParam3;
            earlier->nParam4 = later->nParam4;
            later = commands.erase(later);
        } else {
            earlier = later++;
        }
    }
}

uint32_t ComposeCommandMessage(const CCommand &command, uint32_t psn, unsigned char *buffer)
{
    if (command.dwCommandType == COMMAND_PLAYER) {
        unsigned char message[kPlayerControlSize];
        const PlayerControl control{command.dwCommand, command.nParam1, command.nParam2, command.nParam3,
                                    command.nParam4};
        const uint32_t length = ComposeControlMessage(message, psn, control);
        std::memcpy(buffer, message, length);
        return length;
    }
    if (command.dwCommandType == COMMAND_OPEN_FILE) {
        unsigned char message[kPlayerOpenSize];
        size_t units = 0;
        while (units < kCommandNameUnits && command.szFileName[units])
            ++units;
        const uint32_t length = ComposeOpenMessage(message, psn, command.szFileName, units);
        std::memcpy(buffer, message, length);
        return length;
    }
    return 0;
}

CPlayerCommandQueue::CPlayerCommandQueue()
    : m_sleep([](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); })
{
}

int CPlayerCommandQueue::QueueOpenFile(const WireChar *name)
{
    const CCommand command = CCommand::OpenFile(name);
    if (!m_bRunning.load())
        return QUEUE_REFUSED;
    m_wFileChecksum.store(NameChecksum(name, name ? std::char_traits<WireChar>::length(name) : 0));
    return Append(command);
}

int CPlayerCommandQueue::QueuePlayerCommand(uint32_t code, int32_t p1, int32_t p2, int32_t p3, int32_t p4)
{
    return Queue(CCommand::Player(code, p1, p2, p3, p4));
}

int CPlayerCommandQueue::Queue(const CCommand &command)
{
    if (!m_bRunning.load())
        return QUEUE_REFUSED;
    return Append(command);
}

namespace {

// Position commands: only the latest place and size matter, so at most one
// of each kind waits. Every command costs 100 ms, and a drag of the window's
// left or top edge queues MOVE, SIZE, MOVE, SIZE... that neighbour merging
// cannot fold: without this the client's video would follow for seconds
// after the drag ended.
bool IsPositionCommand(const CCommand &command)
{
    return command.dwCommandType == COMMAND_PLAYER &&
           (command.dwCommand == PLAYER_CMD_MOVE || command.dwCommand == PLAYER_CMD_SIZE);
}

// Everything that says where the window is or whether it is active.
bool IsPlaceCommand(const CCommand &command)
{
    return IsPositionCommand(command) ||
           (command.dwCommandType == COMMAND_PLAYER &&
            (command.dwCommand == PLAYER_CMD_MINIMIZE || command.dwCommand == PLAYER_CMD_ACTIVATE));
}

} // namespace

void CPlayerCommandQueue::PutBackLast()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bLastTaken)
        return;
    m_lstCommands.push_front(m_lastTaken);
    m_bLastTaken = false;
    if (m_wake)
        m_wake();
}

void CPlayerCommandQueue::Resume(const std::vector<CCommand> &first)
{
    std::lock_guard<std::mutex> hold(m_lock);
    ResumeLocked(first);
}

void CPlayerCommandQueue::ResumeLocked(const std::vector<CCommand> &first)
{
    m_lstCommands.remove_if([](const CCommand &c) { return c.bResend || IsPlaceCommand(c); });
    auto at = m_lstCommands.begin();
    for (CCommand command : first) {
        command.bResend = true;
        m_lstCommands.insert(at, command);
    }
    m_bLastTaken = false;
    if (m_wake)
        m_wake();
}

void CPlayerCommandQueue::EnterBox()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_bInBox = true;
}

void CPlayerCommandQueue::LeaveBox()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_bInBox = false;
}

bool CPlayerCommandQueue::HandOverRestart(const std::vector<CCommand> &first)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bInBox)
        return false;
    ResumeLocked(first);
    m_bRestart = true;
    return true;
}

bool CPlayerCommandQueue::RestartPending() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bRestart;
}

bool CPlayerCommandQueue::TakeRestart()
{
    std::lock_guard<std::mutex> hold(m_lock);
    const bool restart = m_bRestart;
    m_bRestart = false;
    return restart;
}

int CPlayerCommandQueue::Append(const CCommand &command)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (IsPositionCommand(command)) {
        // The latest pending one of its kind takes the new values in its
        // place (sent no later than before), unless a MINIMIZE or ACTIVATE
        // came after it: the restore's SIZE must follow the MINIMIZE, or
        // the client stays minimised while the window is restored.
        for (auto pending = m_lstCommands.rbegin(); pending != m_lstCommands.rend(); ++pending) {
            if (IsPlaceCommand(*pending) && !IsPositionCommand(*pending))
                break;
            if (pending->dwCommandType == COMMAND_PLAYER && pending->dwCommand == command.dwCommand) {
                *pending = command;
                if (m_wake)
                    m_wake();
                return QUEUE_DONE;
            }
        }
    }
    m_lstCommands.push_back(command);
    if (m_wake)
        m_wake();
    return QUEUE_DONE;
}

void CPlayerCommandQueue::SetWaker(std::function<void()> waker)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_wake = std::move(waker);
}

size_t CPlayerCommandQueue::Count() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lstCommands.size();
}

uint32_t CPlayerCommandQueue::NextPsn()
{
    // The classic linear congruential generator, unseeded: 15 bits a value.
    m_dwPsnSeed = m_dwPsnSeed * 214013u + 2531011u;
    return (m_dwPsnSeed >> 16) & 0x7FFF;
}

int CPlayerCommandQueue::ComposeCommandBuffer(unsigned char *buffer, uint32_t size, uint32_t *length)
{
    *length = 0;
    CCommand command;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_lstCommands.empty())
            return QUEUE_EMPTY;
        MergeRepeatedCommands(m_lstCommands);
        command = m_lstCommands.front();
        m_lstCommands.pop_front();
        m_lastTaken = command;
        m_bLastTaken = true;
    }
    if (size < kPlayerOpenSize)
        return QUEUE_REFUSED;
    if (command.dwCommandType == COMMAND_PLAYER)
        m_sleep(kPlayerCommandDelayMs);
    *length = ComposeCommandMessage(command, NextPsn(), buffer);
    return *length ? QUEUE_DONE : QUEUE_REFUSED;
}
