#include "write_gate.h"

void CWriteGate::Enter(Turn turn)
{
    std::unique_lock<std::mutex> hold(m_lock);
    if (turn == Turn::Urgent) {
        ++m_nUrgentWaiting;
        m_urgentTurn.wait(hold, [this] { return !m_bBusy; });
        --m_nUrgentWaiting;
    } else {
        ++m_nOthersWaiting;
        m_nextTurn.wait(hold, [this] { return !m_bBusy && m_nUrgentWaiting == 0; });
        --m_nOthersWaiting;
    }
    m_bBusy = true;
}

// One waiter is woken, an urgent one first. A waiter that finds the gate
// taken again meanwhile (by a writer that came just then) waits on; the
// next Leave wakes one again, so nobody is left waiting on a free gate.
void CWriteGate::Leave()
{
    bool urgent;
    bool others;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bBusy = false;
        urgent = m_nUrgentWaiting != 0;
        others = m_nOthersWaiting != 0;
    }
    if (urgent)
        m_urgentTurn.notify_one();
    else if (others)
        m_nextTurn.notify_one();
}

int CWriteGate::Waiting()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nUrgentWaiting + m_nOthersWaiting;
}
