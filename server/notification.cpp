#include "notification.h"

#include "notify.h"

#include <atomic>
#include <climits>

namespace {

std::atomic<NotificationSink> g_pfnNotificationSink{nullptr};

} // namespace

void PostServerNotification(uint32_t wParam, int32_t lParam)
{
    const NotificationSink sink = g_pfnNotificationSink.load();
    if (sink)
        sink(wParam, lParam);
    else
        PlatformPostNotification(wParam, lParam);
}

NotificationSink SetNotificationSink(NotificationSink sink)
{
    return g_pfnNotificationSink.exchange(sink);
}

bool FlushServerNotifications(uint32_t timeoutMs)
{
    return g_pfnNotificationSink.load() ? true : PlatformFlushNotifications(timeoutMs);
}

bool CNotificationQueue::IsRead(const Note &note) { return (note.wParam & 0xFF) == NOTIFY_READ; }

CNotificationQueue::Pushed CNotificationQueue::Push(const Note &note)
{
    const auto add = [](Note &into, int32_t bytes) {
        const int64_t sum = static_cast<int64_t>(into.lParam) + bytes;
        into.lParam = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
    };
    if (IsRead(note) && m_nCount == kCapacity) {
        // Full: into the last READ of this file still waiting (never the
        // one being posted); with none, the announcement is lost rather
        // than the worker held.
        for (uint32_t i = m_nCount - 1; i >= 1; --i) {
            if (At(i).wParam == note.wParam) {
                add(At(i), note.lParam);
                return Pushed::Merged;
            }
            if (i == 1)
                break;
        }
        return Pushed::Full;
    }
    if (IsRead(note) && m_nCount > kMergeDepth && At(m_nCount - 1).wParam == note.wParam) {
        add(At(m_nCount - 1), note.lParam);
        return Pushed::Merged;
    }
    if (m_nCount == kCapacity)
        return Pushed::Full;
    At(m_nCount++) = note;
    return Pushed::Queued;
}

bool CNotificationQueue::Front(Note *note) const
{
    if (m_nCount == 0)
        return false;
    *note = m_ring[m_nHead];
    return true;
}

void CNotificationQueue::PopFront()
{
    if (m_nCount == 0)
        return;
    m_nHead = (m_nHead + 1) % kCapacity;
    --m_nCount;
}
