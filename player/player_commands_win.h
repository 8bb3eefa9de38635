// The player's one command queue, g_PlayerCommands, with its worker thread
// PyxPlayerControl: the window queues what the user wants and returns at
// once; the thread makes sure the server runs, opens the session's player
// channel and writes the commands one by one to the client player.
#pragma once

#include "command_queue.h"
#include "handle_win.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

class CPlayerCommands
{
public:
    CPlayerCommands();
    virtual ~CPlayerCommands();
    CPlayerCommands(const CPlayerCommands &) = delete;
    CPlayerCommands &operator=(const CPlayerCommands &) = delete;

    // 0: the thread runs; 1: failure (already reported). A thread still
    // running is ended first (a fresh channel); `first` then goes before
    // the commands still queued (see CPlayerCommandQueue::Resume). A thread
    // that waits for the user to answer its box is not waited for: it takes
    // `first` and starts over on a fresh channel once the box is answered.
    // With `first` (the session's connect) the thread tries the channel's
    // open again for a while (the client's player may not listen yet).
    int StartPlayerControl(const std::vector<CCommand> &first = {});
    // Ends the thread (at most 5000 ms) and closes the events. Queued
    // commands are not sent. Always 0; a second call does nothing.
    int StopPlayerControl();
    // 0: queued; 1: refused, the thread is not running.
    int QueueOpenFile(const wchar_t *fileName);
    int QueuePlayerCommand(uint32_t code, int32_t p1 = 0, int32_t p2 = 0, int32_t p3 = 0, int32_t p4 = 0);
    uint16_t GetFileChecksum() const { return m_pQueue->GetFileChecksum(); }
    bool IsRunning() const { return m_pQueue->IsRunning(); }

private:
    void ReleaseEvents();
    enum class ThreadWait { Ended, HandedOver, Timeout };
    // Waits at most kPlayerThreadStopWaitMs for the stopped thread to end,
    // handing `first` over as soon as it is seen in a box.
    ThreadWait WaitForThreadOrBox(const std::vector<CCommand> &first);
    static constexpr ULONGLONG kBoxPollMs = 50;

    // The thread shares the queue and holds its own duplicates of both
    // events, so a thread that outlives StopPlayerControl's 5000 ms never
    // touches this object or a handle closed under it.
    std::shared_ptr<CPlayerCommandQueue> m_pQueue;
    std::recursive_mutex m_csLock;   // the start of the thread
    CHandle m_hThread;
    CHandle m_hStopEvent;
    CHandle m_hCommandEvent;
};

extern CPlayerCommands g_PlayerCommands;

// The thread procedure; its parameter is the thread's own context, created
// by StartPlayerControl and owned by the thread from then on.
DWORD WINAPI PyxStartOperation(LPVOID lpParameter);

// Waits of the thread's owner.
constexpr DWORD kPlayerThreadStartWaitMs = 500;
constexpr DWORD kPlayerThreadStopWaitMs = 5000;
