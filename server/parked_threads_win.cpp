#include "parked_threads_win.h"

#include "handle_win.h"

#include <memory>

namespace {

// More parked threads than this serve no burst that a new thread would
// not (ten files' workers and the opens beside them): the rest end.
constexpr int kMaxParked = 12;

} // namespace

CParkedThreads &CParkedThreads::Instance()
{
    static CParkedThreads *pool = new CParkedThreads;
    return *pool;
}

bool CParkedThreads::Run(std::function<void()> body)
{
    AcquireSRWLockExclusive(&m_lock);
    if (m_nIdle > 0) {
        // A parked thread takes it: the count says it is spoken for.
        --m_nIdle;
        m_jobs.push_back(std::move(body));
        ReleaseSRWLockExclusive(&m_lock);
        WakeConditionVariable(&m_wake);
        return true;
    }
    ReleaseSRWLockExclusive(&m_lock);
    return Start(std::move(body));
}

void CParkedThreads::Reserve(int n)
{
    if (n > kMaxParked)
        n = kMaxParked;
    AcquireSRWLockExclusive(&m_lock);
    const int missing = n - m_nIdle - m_nStarting;
    if (missing > 0)
        m_nStarting += missing;
    ReleaseSRWLockExclusive(&m_lock);
    if (missing <= 0)
        return;
    const auto unstarted = [this](int count) {
        AcquireSRWLockExclusive(&m_lock);
        m_nStarting -= count;
        ReleaseSRWLockExclusive(&m_lock);
    };
    // The caller waits for one thread's start only: that thread starts the
    // others, then parks with them.
    const bool started = Start([this, missing, unstarted] {
        for (int i = 1; i < missing; ++i) {
            if (!Start(nullptr)) {
                unstarted(missing - i);
                break;
            }
        }
        unstarted(1);
    });
    if (!started)
        unstarted(missing);
}

bool CParkedThreads::Start(std::function<void()> body)
{
    auto first = std::make_unique<std::function<void()>>(std::move(body));
    const CHandle thread(CreateThread(nullptr, 0, Loop, first.get(), 0, nullptr));
    if (!thread)
        return false;
    first.release();   // the thread's, freed by it
    return true;
}

DWORD WINAPI CParkedThreads::Loop(LPVOID parameter)
{
    CParkedThreads &pool = Instance();
    std::unique_ptr<std::function<void()>> first(static_cast<std::function<void()> *>(parameter));
    std::function<void()> body = std::move(*first);
    first.reset();
    if (!body) {
        AcquireSRWLockExclusive(&pool.m_lock);
        --pool.m_nStarting;   // started by Reserve: parks at once
        ReleaseSRWLockExclusive(&pool.m_lock);
    }
    for (;;) {
        if (body) {
            body();
            body = nullptr;   // what the body held goes before the thread parks
        }
        AcquireSRWLockExclusive(&pool.m_lock);
        if (pool.m_nIdle >= kMaxParked) {
            ReleaseSRWLockExclusive(&pool.m_lock);
            return 0;
        }
        ++pool.m_nIdle;
        while (pool.m_jobs.empty())
            SleepConditionVariableSRW(&pool.m_wake, &pool.m_lock, INFINITE, 0);
        body = std::move(pool.m_jobs.front());
        pool.m_jobs.pop_front();
        ReleaseSRWLockExclusive(&pool.m_lock);
    }
}
