// The open of one file on a thread of its own. An open can hang (a URL whose
// server trickles its headers, a share that does not answer); the control
// thread waits for it only until the deadline or its exit signal, and then
// gives it up. One that cannot hang (a file of a local disk) is run by the
// control thread itself, as the thread would cost more than the open. An open given up keeps its slot and its object until its
// call returns; its thread then tears the object down itself (the client
// was told the open failed). The job is shared by both threads; whichever
// lets go last frees it. Portable: the thread, the signal of its end and
// the wait for it are the platform's (control_ops_win.h on Windows).
#pragma once

#include "control_dispatch.h"
#include "file_object.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class COpenJobOps
{
public:
    // Set once by the open's thread when its call returned.
    class CDoneSignal
    {
    public:
        virtual ~CDoneSignal() = default;
        virtual void Set() = 0;
    };
    enum class Wake { Done, Exit, Deadline };

    // A new done signal; null when it cannot be made.
    virtual std::unique_ptr<CDoneSignal> MakeDoneSignal() = 0;
    // Runs `body` on a thread that no other open holds (one whose open
    // returned may serve again); false when none can be had.
    virtual bool StartThread(std::function<void()> body) = 0;
    // Waits for `done`, the exit signal or `deadline` (the control thread's
    // clock), whichever comes first.
    virtual Wake WaitDone(CDoneSignal &done, uint64_t deadline) = 0;

protected:
    ~COpenJobOps() = default;
};

class COpenJob final : public CPendingOpen
{
public:
    // Starts FileRpcInit(name) of `file` on a new thread; null (and the file
    // untouched) when the thread or its signal cannot be made. `ops` are the
    // control thread's: only Start and Wait use them.
    static std::shared_ptr<COpenJob> Start(COpenJobOps &ops, CFileObject *file, const WireChar *name);
    // Runs it on the caller's thread instead, for a name whose open cannot
    // hang (a file of a local disk): a thread to wait on would cost the open
    // more than the open itself. The job is done when this returns.
    static std::shared_ptr<COpenJob> RunHere(COpenJobOps &ops, CFileObject *file, const WireChar *name);

    Outcome Wait(uint64_t deadline) override;

    // After Done: what FileRpcInit returned and reported.
    bool Opened() const override { return m_bOpened; }
    FileOpenOutcome Result() const override { return m_outcome; }

    COpenJob(COpenJobOps &ops, CFileObject *file, const WireChar *name) : m_ops(ops), m_pFile(file), m_name(name) {}

private:
    void Run();
    // The open thread's end: tells the waiter, or tears the object down
    // when nobody waits any more.
    void Finish();

    COpenJobOps &m_ops;
    CFileObject *m_pFile;
    uint64_t m_ullIdentity = 0;   // m_pFile's, taken while it was surely alive
    std::u16string m_name;   // the thread's own copy: the message buffer is reused
    FileOpenOutcome m_outcome;
    bool m_bOpened = false;
    std::unique_ptr<COpenJobOps::CDoneSignal> m_pDone;
    std::mutex m_lock;
    bool m_bDone = false;     // under m_lock
    bool m_bGivenUp = false;  // under m_lock
};
