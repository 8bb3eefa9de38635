// Ownership of the control thread's receive buffer on ICA.
//
// The control thread offers a routed message to the worker of data channel N
// and waits (1500 ms) for it to be taken. A worker that wakes takes the
// buffer only if it is still offered to its channel; the control thread, on a
// time-out, withdraws an offer nobody took, or waits for a worker that did
// take it to give it back. So the next read never overwrites a message a
// worker holds, and a worker never answers a message that has been replaced.
#pragma once

#include "protocol.h"

#include <atomic>
#include <cstdint>

class CIcaBufferHandoff
{
public:
    // Control thread: the buffer now holds a message for channel n.
    void Offer(int n) { m_state.store(Offered(n), std::memory_order_release); }

    // Worker of channel n, after its event fired: true when it now owns the
    // buffer; false when the offer was withdrawn or is for another channel.
    bool Take(int n)
    {
        int32_t expected = Offered(n);
        return m_state.compare_exchange_strong(expected, Taken(n), std::memory_order_acq_rel);
    }

    // Worker: done with the buffer (the reply has been written).
    void Release() { m_state.store(kFree, std::memory_order_release); }

    // Control thread, after the wait timed out: true when the offer was
    // withdrawn (nobody took it); false when a worker holds the buffer.
    bool Withdraw(int n)
    {
        int32_t expected = Offered(n);
        return m_state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel);
    }

    bool IsFree() const { return m_state.load(std::memory_order_acquire) == kFree; }

private:
    static constexpr int32_t kFree = -1;
    static constexpr int32_t Offered(int n) { return n; }
    static constexpr int32_t Taken(int n) { return 0x100 | n; }

    std::atomic<int32_t> m_state{kFree};
};

// The control channel's receive buffer, the length of the message it holds,
// and (ICA) who owns it: one per control thread, which hands it to its
// dispatch and to its ICA workers, whose routed requests arrive in it.
struct CSharedMessage
{
    alignas(8) unsigned char buffer[kMessageBufferSize] = {};
    std::atomic<uint32_t> length{0};
    CIcaBufferHandoff handoff;
};
