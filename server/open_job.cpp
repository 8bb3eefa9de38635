#include "open_job.h"

#include "server_globals.h"
#include "trace.h"

std::shared_ptr<COpenJob> COpenJob::Start(CFileRpc *file, const wchar_t *name, HANDLE hExit)
{
    auto job = std::make_shared<COpenJob>(file, name, hExit);
    job->m_hDone.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->m_hDone)
        return nullptr;
    // The thread's share of the job, freed by the thread.
    auto share = std::make_unique<std::shared_ptr<COpenJob>>(job);
    const CHandle thread(CreateThread(nullptr, 0, Run, share.get(), 0, nullptr));
    if (!thread)
        return nullptr;
    share.release();
    return job;
}

DWORD WINAPI COpenJob::Run(LPVOID parameter)
{
    const std::unique_ptr<std::shared_ptr<COpenJob>> share(static_cast<std::shared_ptr<COpenJob> *>(parameter));
    COpenJob &job = **share;
    job.m_bOpened = job.m_pFile->FileRpcInit(job.m_name.c_str(), &job.m_outcome);
    job.Finish();
    return 0;
}

void COpenJob::Finish()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bDone = true;
        if (!m_bGivenUp) {
            SetEvent(m_hDone.Get());
            return;
        }
    }
    // Nobody waits any more: the client was told the open failed.
    PYX_TRACE(L"PYXMSG_RPC_OPEN: an open given up has returned (%d); its file object goes\r\n", m_bOpened ? 1 : 0);
    if (!m_bOpened)
        m_pFile->DeallocateAndSetError(0, true);
    else if (ClaimFileObject(m_pFile))   // unless its worker or a teardown took it meanwhile
        m_pFile->DeallocateAndSetError(0, true);
}

COpenJob::Outcome COpenJob::Wait(uint64_t deadline)
{
    const ULONGLONG now = GetTickCount64();
    const DWORD ms = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    HANDLE waits[2] = {m_hDone.Get(), m_hExit};
    const DWORD r = WaitForMultipleObjects(m_hExit ? 2 : 1, waits, FALSE, ms);
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bDone)
        return Outcome::Done;   // also when it ended just as the wait did
    m_bGivenUp = true;
    NoteThreadGivenUp();
    return r == WAIT_OBJECT_0 + 1 ? Outcome::Exited : Outcome::TimedOut;
}
