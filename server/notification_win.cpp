// Windows sink: the registered message, posted to HWND_BROADCAST.
//
// A broadcast post costs a trip through every top-level window of the
// desktop, and a local file posts one per request. So the workers only put
// the notification in a queue; one poster thread posts them in the order
// they were queued. The queue is a fixed ring, so queuing never allocates.
#include "notification.h"

#include "notify.h"

#include <windows.h>

#include <cstdint>

namespace {

struct Note
{
    uint32_t wParam;
    int32_t lParam;
};

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
            if (m_nCount < kCapacity) {
                m_ring[(m_nHead + m_nCount) % kCapacity] = Note{wParam, lParam};
                // Only a queue that was empty needs the poster woken: with
                // notes left it looks at the queue again before it sleeps,
                // and the drained event is already reset. Most requests then
                // cost no kernel call here.
                const bool wasEmpty = m_nCount++ == 0;
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
    static constexpr uint32_t kCapacity = 4096;

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
                if (self->m_nCount == 0) {
                    SetEvent(self->m_hDrained);
                    LeaveCriticalSection(&self->m_cs);
                    break;
                }
                const Note note = self->m_ring[self->m_nHead];
                LeaveCriticalSection(&self->m_cs);
                // Taken off the queue only once posted, so Flush waits for it.
                self->PostNow(note);
                EnterCriticalSection(&self->m_cs);
                self->m_nHead = (self->m_nHead + 1) % kCapacity;
                --self->m_nCount;
                LeaveCriticalSection(&self->m_cs);
            }
        }
    }

    CRITICAL_SECTION m_cs;
    HANDLE m_hQueued = nullptr;
    HANDLE m_hDrained = nullptr;
    HANDLE m_hThread = nullptr;
    UINT m_uMessage = 0;
    Note m_ring[kCapacity] = {};
    uint32_t m_nHead = 0;
    uint32_t m_nCount = 0;
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
