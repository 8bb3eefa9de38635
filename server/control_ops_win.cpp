#include "control_ops_win.h"

#include "file_rpc_win.h"
#include "settings_win.h"
#include "handle_win.h"

#include <deque>
#include <memory>

namespace {

class CDoneEvent final : public COpenJobOps::CDoneSignal
{
public:
    CDoneEvent() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Set() override { SetEvent(m_hEvent.Get()); }
    HANDLE Get() const { return m_hEvent.Get(); }

private:
    CHandle m_hEvent;
};

// The threads that run opens. Starting a thread is the dearest part of an
// open (a new stack, every library told of it) and, with files streaming
// beside it, waits for a core; so a thread whose open returned parks for
// the next one. An open that hangs keeps its thread, and the next open
// finds none parked and starts one of its own: a hung open never delays
// another. Never destroyed, as an open given up may outlive everything.
class COpenThreadPool
{
public:
    static COpenThreadPool &Instance()
    {
        static COpenThreadPool *pool = new COpenThreadPool;
        return *pool;
    }

    bool Run(std::function<void()> body)
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
        auto first = std::make_unique<std::function<void()>>(std::move(body));
        const CHandle thread(CreateThread(nullptr, 0, Loop, first.get(), 0, nullptr));
        if (!thread)
            return false;
        first.release();   // the thread's, freed by it
        return true;
    }

private:
    // More parked threads than this serve no burst of opens that a new
    // thread would not: the rest end.
    static constexpr int kMaxIdle = 4;

    COpenThreadPool() = default;

    static DWORD WINAPI Loop(LPVOID parameter)
    {
        COpenThreadPool &pool = Instance();
        std::unique_ptr<std::function<void()>> first(static_cast<std::function<void()> *>(parameter));
        std::function<void()> body = std::move(*first);
        first.reset();
        for (;;) {
            body();
            body = nullptr;   // what the open held goes before the thread parks
            AcquireSRWLockExclusive(&pool.m_lock);
            if (pool.m_nIdle >= kMaxIdle) {
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

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_wake = CONDITION_VARIABLE_INIT;
    std::deque<std::function<void()>> m_jobs;   // never more than the threads parked for them
    int m_nIdle = 0;                              // parked threads no job is meant for yet
};

} // namespace

bool CWinControlChannel::WriteReply(void *message, uint32_t length)
{
    uint32_t written = 0;
    return m_channel.WriteMessage(message, length, &written) && written == length;
}

void CWinControlChannel::ApplyClientPolicy(uint32_t policy) { ApplyClientPolicyToDialog(policy, m_hDialog); }

std::unique_ptr<COpenJobOps::CDoneSignal> CWinOpenOps::MakeDoneSignal()
{
    auto done = std::make_unique<CDoneEvent>();
    if (!done->Get())
        return nullptr;
    return done;
}

bool CWinOpenOps::StartThread(std::function<void()> body)
{
    return COpenThreadPool::Instance().Run(std::move(body));
}

COpenJobOps::Wake CWinOpenOps::WaitDone(CDoneSignal &done, uint64_t deadline)
{
    const ULONGLONG now = GetTickCount64();
    const DWORD ms = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    HANDLE waits[2] = {static_cast<CDoneEvent &>(done).Get(), m_hExit};
    const DWORD r = WaitForMultipleObjects(m_hExit ? 2 : 1, waits, FALSE, ms);
    if (r == WAIT_OBJECT_0)
        return Wake::Done;
    return r == WAIT_OBJECT_0 + 1 ? Wake::Exit : Wake::Deadline;
}

CFileRpcRequests *CWinFileOps::CreateFileObject() { return CreateInstance(m_kind, m_pParameters, m_pShare); }

std::shared_ptr<CPendingOpen> CWinFileOps::StartOpen(CFileRpcRequests *file, const WireChar *name,
                                                     int32_t *systemError)
{
    auto job = COpenJob::Start(m_openOps, Object(file), name);
    if (!job)
        *systemError = static_cast<int32_t>(GetLastError());
    return job;
}

