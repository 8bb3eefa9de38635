// The open of one file on a thread of its own. An open can hang (a URL whose
// server trickles its headers, a share that does not answer); the control
// thread waits for it only until the deadline or its exit event, and then
// gives it up. An open given up keeps its slot and its object until its
// call returns; its thread then tears the object down itself (the client
// was told the open failed). The job is shared by both threads; whichever
// lets go last frees it.
#pragma once

#include "file_rpc.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

// How long an OPEN may take, counted from its arrival, and the system error
// its reply carries after that (the platform's time-out, ERROR_INTERNET_TIMEOUT).
constexpr DWORD kOpenDeadlineMs = 20000;
constexpr int32_t kOpenTimedOutError = 12002;

class COpenJob
{
public:
    enum class Outcome { Done, TimedOut, Exited };

    // Starts FileRpcInit(name) of `file` on a new thread; null (and the file
    // untouched) when the thread cannot be made.
    static std::shared_ptr<COpenJob> Start(CFileRpc *file, const wchar_t *name);

    // Waits for the open until `deadline` (GetTickCount64) or hExit. On
    // TimedOut and Exited the open is given up: the job's file belongs to
    // its thread from then on.
    Outcome Wait(HANDLE hExit, ULONGLONG deadline);

    // After Done: what FileRpcInit returned and reported.
    bool Opened() const { return m_bOpened; }
    const CFileRpc::OpenOutcome &Result() const { return m_outcome; }

    COpenJob(CFileRpc *file, const wchar_t *name) : m_pFile(file), m_name(name) {}

private:
    static DWORD WINAPI Run(LPVOID parameter);
    // The open thread's end: tells the waiter, or tears the object down
    // when nobody waits any more.
    void Finish();

    CFileRpc *m_pFile;
    std::wstring m_name;   // the thread's own copy: the message buffer is reused
    CFileRpc::OpenOutcome m_outcome;
    bool m_bOpened = false;
    CHandle m_hDone;
    std::mutex m_lock;
    bool m_bDone = false;     // under m_lock
    bool m_bGivenUp = false;  // under m_lock
};
