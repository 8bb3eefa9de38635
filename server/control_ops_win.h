// The control dispatch's operations on Windows: the control channel and the
// settings dialog, the file objects of file_rpc_win.h and their open jobs.
#pragma once

#include "channel_io.h"
#include "control_dispatch.h"
#include "file_object.h"
#include "open_job.h"
#include "ica_share_win.h"
#include "session.h"

#include <windows.h>

class CWinControlChannel final : public CControlChannelOps
{
public:
    CWinControlChannel(CChannelIO &channel, HWND hDialog) : m_channel(channel), m_hDialog(hDialog) {}

    bool WriteReply(void *message, uint32_t length) override;
    void SetChunking(uint32_t flag) override { m_channel.SetChunking(flag); }
    void ApplyClientPolicy(uint32_t policy) override;

private:
    CChannelIO &m_channel;
    HWND m_hDialog;
};

// An open's thread (from a pool of parked ones), its done event, and the
// wait for it that hExit ends.
class CWinOpenOps final : public COpenJobOps
{
public:
    explicit CWinOpenOps(HANDLE hExit) : m_hExit(hExit) {}

    std::unique_ptr<CDoneSignal> MakeDoneSignal() override;
    bool StartThread(std::function<void()> body) override;
    Wake WaitDone(CDoneSignal &done, uint64_t deadline) override;

private:
    HANDLE m_hExit;
};

// File objects of the session's kind, with its client parameters and (ICA)
// its share; hExit ends the wait for an open.
class CWinFileOps final : public CFileTableOps
{
public:
    CWinFileOps(SessionKind kind, ClientParametersPtr parameters, std::shared_ptr<CIcaShare> share, HANDLE hExit);

    CFileRpcRequests *CreateFileObject() override;
    std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *file, const WireChar *name,
                                            int32_t *systemError) override;

private:
    SessionKind m_kind;
    ClientParametersPtr m_pParameters;
    std::shared_ptr<CIcaShare> m_pShare;
    CWinOpenOps m_openOps;
};
