#include "control_ops_win.h"

#include "file_rpc.h"
#include "open_job.h"
#include "settings_win.h"

bool CWinControlChannel::WriteReply(void *message, uint32_t length)
{
    uint32_t written = 0;
    return m_channel.WriteMessage(message, length, &written) && written == length;
}

void CWinControlChannel::ApplyClientPolicy(uint32_t policy) { ApplyClientPolicyToDialog(policy, m_hDialog); }

CFileRpcRequests *CWinFileOps::CreateFileObject() { return CreateInstance(m_bIca); }

std::shared_ptr<CPendingOpen> CWinFileOps::StartOpen(CFileRpcRequests *file, const WireChar *name,
                                                     int32_t *systemError)
{
    static_assert(sizeof(wchar_t) == sizeof(WireChar), "Windows wide strings are UTF-16");
    auto job = COpenJob::Start(static_cast<CFileRpc *>(Object(file)), reinterpret_cast<const wchar_t *>(name), m_hExit);
    if (!job)
        *systemError = static_cast<int32_t>(GetLastError());
    return job;
}

