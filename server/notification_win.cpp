// Windows sink: the registered message, posted to HWND_BROADCAST.
//
// A broadcast post costs a trip through every top-level window of the
// desktop, and a local file posts one per request. So the workers only put
// the notification in a queue (CNotificationQueue: a fixed ring that merges
// READ notes when the desktop falls far behind); one poster thread posts
// them in the order they were queued.
#include "notification.h"

#include "notify.h"

#include <windows.h>

#include <cstdint>

namespace {

using Note = CNotificationQueue::Note;

class CNotificationPoster
{
public:
    CNotificationPoster()
    {
        InitializeCriticalSection(&m_cs);
        m_hQueued = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_hDrained = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        m_uMessage = RegisterWindowMessageW(kServerNotificationName);
        m_hThread = m_hQueued && m_hDrained ? CreateThread(nullptr, 0, &CNotificationPoster::Run, this, 0, nullptr)
                                            : nullptr;
    }

    void Post(uint32_t wParam, int32_t lParam)
    {
        if (m_uMessage == 0)
            return;
        if (!m_hThread) {   // no poster: post on the caller's thread
            PostNow(Note{wParam, lParam});
            return;
        }
        for (;;) {
            EnterCriticalSection(&m_cs);
            const bool wasEmpty = m_queue.Count() == 0;
            const CNotificationQueue::Pushed pushed = m_queue.Push(Note{wParam, lParam});
            if (pushed != CNotificationQueue::Pushed::Full || (wParam & 0xFF) == NOTIFY_READ) {
                // Only a queue that was empty needs the poster woken: with
                // notes left it looks at the queue again before it sleeps,
                // and the drained event is already reset. Most requests then
                // cost no kernel call here. A READ is never held: merged, or
                // with nothing to merge into in a full queue, not announced.
                if (wasEmpty)
                    ResetEvent(m_hDrained);
                LeaveCriticalSection(&m_cs);
                if (wasEmpty)
                    SetEvent(m_hQueued);
                return;
            }
            LeaveCriticalSection(&m_cs);
            Sleep(1);   // full: the poster is draining it
        }
    }

    bool Flush(DWORD timeoutMs) { return !m_hThread || WaitForSingleObject(m_hDrained, timeoutMs) == WAIT_OBJECT_0; }

private:
    void PostNow(const Note &note)
    {
        PostMessageW(HWND_BROADCAST, m_uMessage, static_cast<WPARAM>(note.wParam), static_cast<LPARAM>(note.lParam));
    }

    static DWORD WINAPI Run(LPVOID parameter)
    {
        auto *self = static_cast<CNotificationPoster *>(parameter);
        for (;;) {
            WaitForSingleObject(self->m_hQueued, INFINITE);
            for (;;) {
                EnterCriticalSection(&self->m_cs);
                Note note{};
                if (!self->m_queue.Front(&note)) {
                    SetEvent(self->m_hDrained);
                    LeaveCriticalSection(&self->m_cs);
                    break;
                }
                LeaveCriticalSection(&self->m_cs);
                // Taken off the queue only once posted, so Flush waits for it
                // (and nothing is merged into the note being posted).
                self->PostNow(note);
                EnterCriticalSection(&self->m_cs);
                self->m_queue.PopFront();
                LeaveCriticalSection(&self->m_cs);
            }
        }
    }

    CRITICAL_SECTION m_cs;
    HANDLE m_hQueued = nullptr;
    HANDLE m_hDrained = nullptr;
    HANDLE m_hThread = nullptr;
    UINT m_uMessage = 0;
    CNotificationQueue m_queue;
};

CNotificationPoster &Poster()
{
    // Never destroyed: workers may post while the process ends.
    static CNotificationPoster *poster = new CNotificationPoster;
    return *poster;
}

} // namespace

void PlatformPostNotification(uint32_t wParam, int32_t lParam) { Poster().Post(wParam, lParam); }

bool PlatformFlushNotifications(uint32_t timeoutMs) { return Poster().Flush(timeoutMs); }
