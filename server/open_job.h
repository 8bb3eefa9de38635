// The open of one file on a thread of its own. An open can hang (a URL whose
// server trickles its headers, a share that does not answer); the control
// thread waits for it only until the deadline or its exit event, and then
// gives it up. An open given up keeps its slot and its object until its
// call returns; its thread then tears the object down itself (the client
// was told the open failed). The job is shared by both threads; whichever
// lets go last frees it.
#pragma once

#include "control_dispatch.h"
#include "file_rpc.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

class COpenJob : public CPendingOpen
{
public:
    // Starts FileRpcInit(name) of `file` on a new thread; null (and the file
    // untouched) when the thread cannot be made. hExit (the control thread's,
    // which outlives every wait) ends a wait.
    static std::shared_ptr<COpenJob> Start(CFileRpc *file, const wchar_t *name, HANDLE hExit);

    // Waits for the open until `deadline` (GetTickCount64) or hExit.
    Outcome Wait(uint64_t deadline) override;

    // After Done: what FileRpcInit returned and reported.
    bool Opened() const override { return m_bOpened; }
    FileOpenOutcome Result() const override { return m_outcome; }

    COpenJob(CFileRpc *file, const wchar_t *name, HANDLE hExit) : m_pFile(file), m_name(name), m_hExit(hExit) {}

private:
    static DWORD WINAPI Run(LPVOID parameter);
    // The open thread's end: tells the waiter, or tears the object down
    // when nobody waits any more.
    void Finish();

    CFileRpc *m_pFile;
    std::wstring m_name;   // the thread's own copy: the message buffer is reused
    HANDLE m_hExit;
    CFileRpc::OpenOutcome m_outcome;
    bool m_bOpened = false;
    CHandle m_hDone;
    std::mutex m_lock;
    bool m_bDone = false;     // under m_lock
    bool m_bGivenUp = false;  // under m_lock
};
