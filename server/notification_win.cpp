// Windows sink: the registered message, posted to HWND_BROADCAST.
//
// A broadcast post costs a trip through every top-level window of the
// desktop: the system looks at each window and queues the message to it, and
// each window's thread wakes to take it, some forty calls into the system
// in all, where the read it announces costs the worker a handful. A local
// file posts one per request, so the workers only put the notification in a
// queue (CNotificationQueue), and one poster thread posts them in the order
// they were queued, READ notes at most one per kReadPostGapMs: meanwhile a
// file's reads add up in its waiting note, and the slider still moves 20
// times a second; woken from idle, it lets a burst settle first. Queue and
// wake-ups use a slim lock and a condition variable, which cost a worker no
// kernel object call. Once the desktop is far behind anyway, the poster
// takes a pause after each post, so that the broadcasts leave the processor
// to the files they announce.
#include "notification.h"

#include "notify.h"

#include <windows.h>

#include <cstdint>

namespace {

using Note = CNotificationQueue::Note;

// A READ note is posted this long after the last one at the earliest. At
// 20 ms the broadcasts still took a file read at full speed 6-8 % of its
// rate (bench_file_object --notify-cost); at 50 ms their cost is lost in
// the noise. Longer would hold the slider still longer after a seek: the
// player window counts READ notes, not time, before it follows them again.
constexpr ULONGLONG kReadPostGapMs = 50;

// Woken from idle, the poster waits this long before it posts: the notes of
// an open and its first reads come in a burst, and the broadcasts then go
// out after the first replies rather than beside them.
constexpr DWORD kSettleMs = 10;

// While more than kFarBehind notes wait, the pause after a post is this
// many times what the post took, within the bounds below.
constexpr ULONGLONG kPausePerPostTime = 3;
constexpr DWORD kMinPauseMs = 1;
constexpr DWORD kMaxPauseMs = 20;

class CNotificationPoster
{
public:
    CNotificationPoster()
    {
        m_uMessage = RegisterWindowMessageW(kServerNotificationName);
        m_hThread = CreateThread(nullptr, 0, &CNotificationPoster::Run, this, 0, nullptr);
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
            AcquireSRWLockExclusive(&m_lock);
            const CNotificationQueue::Pushed pushed = m_queue.Push(Note{wParam, lParam});
            if (pushed != CNotificationQueue::Pushed::Full || (wParam & 0xFF) == NOTIFY_READ) {
                // A READ is never held: merged, or with nothing to merge
                // into in a full queue, not announced.
                const bool wake = m_bPosterIdle;
                ReleaseSRWLockExclusive(&m_lock);
                if (wake)
                    WakeConditionVariable(&m_queued);
                return;
            }
            ReleaseSRWLockExclusive(&m_lock);
            Sleep(1);   // full: the poster is draining it
        }
    }

    bool Flush(DWORD timeoutMs)
    {
        if (!m_hThread)
            return true;
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        AcquireSRWLockExclusive(&m_lock);
        ++m_nFlushing;   // the poster takes no pause while someone waits
        WakeConditionVariable(&m_queued);
        bool drained = m_queue.Count() == 0;
        while (!drained) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            SleepConditionVariableSRW(&m_drained, &m_lock, static_cast<DWORD>(deadline - now), 0);
            drained = m_queue.Count() == 0;
        }
        --m_nFlushing;
        ReleaseSRWLockExclusive(&m_lock);
        return drained;
    }

private:
    void PostNow(const Note &note)
    {
        PostMessageW(HWND_BROADCAST, m_uMessage, static_cast<WPARAM>(note.wParam), static_cast<LPARAM>(note.lParam));
    }

    static DWORD WINAPI Run(LPVOID parameter)
    {
        auto *self = static_cast<CNotificationPoster *>(parameter);
        AcquireSRWLockExclusive(&self->m_lock);
        for (;;) {
            Note note{};
            if (!self->m_queue.Front(&note)) {
                WakeAllConditionVariable(&self->m_drained);
                self->m_bPosterIdle = true;
                SleepConditionVariableSRW(&self->m_queued, &self->m_lock, INFINITE, 0);
                self->m_bPosterIdle = false;
                if (self->m_nFlushing == 0)   // a flush that starts ends the wait
                    SleepConditionVariableSRW(&self->m_queued, &self->m_lock, kSettleMs, 0);
                continue;
            }
            const bool read = CNotificationQueue::IsRead(note);
            if (read && self->m_nFlushing == 0) {
                // Workers are not woken for: reads meanwhile merge into the
                // waiting note. A flush that starts ends the wait.
                const ULONGLONG now = GetTickCount64();
                if (now < self->m_ullNextReadPost) {
                    SleepConditionVariableSRW(&self->m_queued, &self->m_lock,
                                              static_cast<DWORD>(self->m_ullNextReadPost - now), 0);
                    continue;
                }
            }
            self->m_queue.TakeFront(&note);   // the reads merged up to now
            ReleaseSRWLockExclusive(&self->m_lock);
            const ULONGLONG started = GetTickCount64();
            self->PostNow(note);
            const ULONGLONG posted = GetTickCount64();
            AcquireSRWLockExclusive(&self->m_lock);
            self->m_queue.PopFront();
            if (read)
                self->m_ullNextReadPost = posted + kReadPostGapMs;
            if (self->m_queue.Count() > CNotificationQueue::kFarBehind && self->m_nFlushing == 0) {
                ULONGLONG pause = (posted - started) * kPausePerPostTime;
                pause = pause < kMinPauseMs ? kMinPauseMs : pause > kMaxPauseMs ? kMaxPauseMs : pause;
                // New notes do not end the pause; a flush that starts does.
                SleepConditionVariableSRW(&self->m_queued, &self->m_lock, static_cast<DWORD>(pause), 0);
            }
        }
    }

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_queued = CONDITION_VARIABLE_INIT;    // a note came, or a flush began
    CONDITION_VARIABLE m_drained = CONDITION_VARIABLE_INIT;   // the queue is empty
    bool m_bPosterIdle = false;                               // waits for a note (under m_lock)
    int m_nFlushing = 0;                                      // under m_lock
    ULONGLONG m_ullNextReadPost = 0;                          // poster only
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
