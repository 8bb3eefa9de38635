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
    if (IsRead(note)) {
        // The file's latest note, by the checksum in the high 16 bits; a
        // READ after it would come after a seek or a close, so only a READ
        // takes it in.
        for (uint32_t i = m_nCount; i-- > 0;) {
            Note &latest = At(i);
            if ((latest.wParam >> 16) != (note.wParam >> 16))
                continue;
            if (latest.wParam != note.wParam || (i == 0 && m_bFrontTaken))
                break;
            const int64_t sum = static_cast<int64_t>(latest.lParam) + note.lParam;
            latest.lParam = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
            return Pushed::Merged;
        }
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

bool CNotificationQueue::TakeFront(Note *note)
{
    m_bFrontTaken = Front(note);
    return m_bFrontTaken;
}

void CNotificationQueue::PopFront()
{
    if (m_nCount == 0)
        return;
    m_bFrontTaken = false;
    m_nHead = (m_nHead + 1) % kCapacity;
    --m_nCount;
}
