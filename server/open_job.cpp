#include "open_job.h"

#include "trace.h"

std::shared_ptr<COpenJob> COpenJob::Start(COpenJobOps &ops, CFileObject *file, const WireChar *name)
{
    auto job = std::make_shared<COpenJob>(ops, file, name);
    job->m_ullIdentity = file->Identity();
    job->m_pDone = ops.MakeDoneSignal();
    if (!job->m_pDone)
        return nullptr;
    // The thread holds a share of the job until it ends.
    if (!ops.StartThread([job] { job->Run(); }))
        return nullptr;
    return job;
}

std::shared_ptr<COpenJob> COpenJob::RunHere(COpenJobOps &ops, CFileObject *file, const WireChar *name)
{
    auto job = std::make_shared<COpenJob>(ops, file, name);
    job->m_ullIdentity = file->Identity();
    job->Run();
    return job;
}

void COpenJob::Run()
{
    m_bOpened = m_pFile->FileRpcInit(m_name.c_str(), &m_outcome);
    Finish();
}

void COpenJob::Finish()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bDone = true;
        if (!m_bGivenUp) {
            if (m_pDone)   // none when it ran on the waiter's own thread
                m_pDone->Set();
            return;
        }
    }
    // Nobody waits any more: the client was told the open failed.
    PYX_TRACE(L"PYXMSG_RPC_OPEN: an open given up has returned (%d); its file object goes\r\n", m_bOpened ? 1 : 0);
    // A failed open's object is still this thread's claim. An opened one is
    // in the table, where its worker or a teardown may have claimed and
    // deleted it meanwhile, and a newer open may since sit at its address:
    // it is claimed by the identity it had.
    if (!m_bOpened || ClaimFileObject(m_pFile, m_ullIdentity))
        m_pFile->DeallocateAndSetError(0, true);
}

COpenJob::Outcome COpenJob::Wait(uint64_t deadline)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bDone)
            return Outcome::Done;
    }
    const COpenJobOps::Wake wake = m_ops.WaitDone(*m_pDone, deadline);
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bDone)
        return Outcome::Done;   // also when it ended just as the wait did
    m_bGivenUp = true;
    NoteThreadGivenUp();
    return wake == COpenJobOps::Wake::Exit ? Outcome::Exited : Outcome::TimedOut;
}
