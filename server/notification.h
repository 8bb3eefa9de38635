// The server's broadcast notification (ServerNotification). Posting never
// waits and its result is not checked; nobody answers.
#pragma once

#include <cstdint>

using NotificationSink = void (*)(uint32_t wParam, int32_t lParam);

// Posts one notification through the current sink.
void PostServerNotification(uint32_t wParam, int32_t lParam);

// Replaces the sink (tests record notifications); null restores the default:
// on Windows a broadcast to every top-level window, natively nothing.
// Returns the previous sink.
NotificationSink SetNotificationSink(NotificationSink sink);

// Waits until every notification posted so far has gone out (the platform
// sink posts from a thread of its own); false on time-out.
bool FlushServerNotifications(uint32_t timeoutMs);

// The queue in front of the platform's poster (a fixed ring: queuing never
// allocates), in the order the notes are to be posted; not locked, its owner
// locks. Every read announces itself, but a broadcast costs the whole
// desktop a trip through every top-level window, far more than the read it
// announces; so the poster paces READ notes (notification_win.cpp), and a
// READ note whose file's latest note still waits is a READ is added to it
// (the byte counts summed) instead of queued. A receiver sees the same
// position: order per file, every other code and the total bytes stay as
// they are. The note the poster has taken is never merged into. A READ that
// finds the queue full and nothing to merge into is not announced, so that a
// worker never waits for the desktop.
class CNotificationQueue
{
public:
    struct Note
    {
        uint32_t wParam;
        int32_t lParam;
    };
    enum class Pushed { Queued, Merged, Full };

    static constexpr uint32_t kCapacity = 4096;
    // More notes than this waiting: the desktop is far behind.
    static constexpr uint32_t kFarBehind = 256;

    Pushed Push(const Note &note);
    // The oldest note, left in the queue.
    bool Front(Note *note) const;
    // Takes the oldest note for posting: nothing merges into it any more,
    // and it stays first (Flush waits for it) until PopFront.
    bool TakeFront(Note *note);
    void PopFront();
    uint32_t Count() const { return m_nCount; }
    static bool IsRead(const Note &note);

private:
    Note &At(uint32_t i) { return m_ring[(m_nHead + i) % kCapacity]; }

    Note m_ring[kCapacity] = {};
    uint32_t m_nHead = 0;
    uint32_t m_nCount = 0;
    bool m_bFrontTaken = false;
};

// The platform's own sink, and its flush.
void PlatformPostNotification(uint32_t wParam, int32_t lParam);
bool PlatformFlushNotifications(uint32_t timeoutMs);
