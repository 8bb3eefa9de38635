#include "control_ops_win.h"

#include "file_rpc_win.h"
#include "settings_win.h"
#include "handle_win.h"

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

DWORD WINAPI RunBody(LPVOID parameter)
{
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()> *>(parameter));
    (*body)();
    return 0;
}

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
    auto share = std::make_unique<std::function<void()>>(std::move(body));
    const CHandle thread(CreateThread(nullptr, 0, RunBody, share.get(), 0, nullptr));
    if (!thread)
        return false;
    share.release();   // the thread's, freed by it
    return true;
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

