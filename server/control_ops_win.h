// The control dispatch's operations on Windows: the control channel and the
// settings dialog, the file objects of file_rpc.h and their open jobs.
#pragma once

#include "channel_io.h"
#include "control_dispatch.h"
#include "file_object.h"

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

// File objects of the session's kind; hExit ends the wait for an open.
class CWinFileOps final : public CFileTableOps
{
public:
    CWinFileOps(bool ica, HANDLE hExit) : m_bIca(ica), m_hExit(hExit) {}

    CFileRpcRequests *CreateFileObject() override;
    std::shared_ptr<CPendingOpen> StartOpen(CFileRpcRequests *file, const WireChar *name,
                                            int32_t *systemError) override;

private:
    bool m_bIca;
    HANDLE m_hExit;
};
