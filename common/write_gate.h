// Turns at a channel that several threads write to, one whole message at a
// time, where some messages must not queue behind the rest.
//
// On ICA every file's replies and the control thread's share the session's
// one channel. A file's reply of 128 KiB takes about 16 ms to go out in
// chunks, and with ten files reading, nine replies may be waiting for their
// turn. A control reply (an OPEN's, a CLOSE's) that queued among them waited
// for all of them: with ten files opened together, the last one's first byte
// came after most of a second. Here a waiting urgent message goes next, after
// the message being written; the files' replies take turns as before. Urgent
// messages are few (one per control request), so the files never starve.
// Portable: no platform calls.
#pragma once

#include <condition_variable>
#include <mutex>

class CWriteGate
{
public:
    enum class Turn { Urgent, InTurn };

    // Waits until this thread may write, then holds the gate.
    void Enter(Turn turn);
    void Leave();
    // How many threads wait for their turn now (for tests and diagnostics).
    int Waiting();

    // Holds the gate for one scope.
    class CHold
    {
    public:
        CHold(CWriteGate &gate, Turn turn) : m_gate(gate) { m_gate.Enter(turn); }
        ~CHold() { m_gate.Leave(); }
        CHold(const CHold &) = delete;
        CHold &operator=(const CHold &) = delete;

    private:
        CWriteGate &m_gate;
    };

private:
    std::mutex m_lock;
    std::condition_variable m_urgentTurn;   // an urgent writer waits here
    std::condition_variable m_nextTurn;     // the others here
    bool m_bBusy = false;                   // all under m_lock
    int m_nUrgentWaiting = 0;
    int m_nOthersWaiting = 0;
};
