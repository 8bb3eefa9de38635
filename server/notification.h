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
// locks. Every read announces itself, and the desktop may fall behind: when
// more than kMergeDepth notes wait, a READ note right behind a READ note of
// the same file that is not yet being posted is merged into it (the byte
// counts added), and a READ that finds the queue full is added to the last
// queued READ note of its file, so that a worker never waits for the
// desktop. Below that depth nothing is merged; order and every other code
// stay as they are.
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
    static constexpr uint32_t kMergeDepth = 256;

    Pushed Push(const Note &note);
    // The oldest note: the one being posted until PopFront.
    bool Front(Note *note) const;
    void PopFront();
    uint32_t Count() const { return m_nCount; }

private:
    Note &At(uint32_t i) { return m_ring[(m_nHead + i) % kCapacity]; }
    static bool IsRead(const Note &note);

    Note m_ring[kCapacity] = {};
    uint32_t m_nHead = 0;
    uint32_t m_nCount = 0;
};

// The platform's own sink, and its flush.
void PlatformPostNotification(uint32_t wParam, int32_t lParam);
bool PlatformFlushNotifications(uint32_t timeoutMs);
