// Threads that wait for work instead of ending. Starting a thread is dear on
// a busy terminal server (a new stack, every library told of it, a core to
// wait for), and both an open and a file's worker would otherwise start one
// each time. A thread whose body returned parks for the next body; a body
// that never returns keeps its thread, and the next body gets another.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>

class CParkedThreads final
{
public:
    // The process's threads; never destroyed, as a body may outlive all else.
    static CParkedThreads &Instance();

    // Runs `body` on a parked thread, or on a new one when none is parked;
    // false when no thread could be made.
    bool Run(std::function<void()> body);
    // Starts threads until at least n are parked (up to the most kept), all
    // but one of them in the background.
    void Reserve(int n);

    CParkedThreads(const CParkedThreads &) = delete;
    CParkedThreads &operator=(const CParkedThreads &) = delete;

private:
    CParkedThreads() = default;
    ~CParkedThreads() = default;

    bool Start(std::function<void()> body);
    static DWORD WINAPI Loop(LPVOID parameter);

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_wake = CONDITION_VARIABLE_INIT;
    std::deque<std::function<void()>> m_jobs;   // never more than the threads parked for them
    int m_nIdle = 0;                              // parked threads no body is meant for yet
    int m_nStarting = 0;                          // started by Reserve, not yet parked
};
