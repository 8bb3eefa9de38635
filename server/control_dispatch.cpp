#include "control_dispatch.h"

#include "trace.h"

CControlDispatch::CControlDispatch(SessionKind kind, CSharedMessage &message, CClientParameters &parameters,
                                   CControlChannelOps &channel, CControlFileOps &files, CIcaRoutingOps &routing)
    : m_kind(kind), m_message(message), m_pBuffer(message.buffer), m_parameters(parameters), m_channel(channel),
      m_files(files), m_routing(routing)
{
}

bool CControlDispatch::OnReceived(uint32_t n, uint64_t arrived)
{
    if (!IsCompleteMessage(m_pBuffer, n)) {
        PYX_TRACE(L"PyxControlThread ChannelRead got a short chunk of data... %d\r\n", n);
        return true;
    }
    const int32_t channel = MessageChannel(m_pBuffer);
    if (m_kind == SessionKind::Ica && channel != CHANNEL_CONTROL) {
        if (IsDataChannel(channel))
            PassTheMessage(channel, n, m_routing, m_message);
        else
            PYX_TRACE(L"PyxControlThread: message for channel %d dropped, no such data channel\r\n", channel);
        return true;
    }
    return Dispatch(n, arrived);
}

bool CControlDispatch::Dispatch(uint32_t n, uint64_t arrived)
{
    const MessageHeader h = LoadHeader(m_pBuffer);
    const unsigned char *code = m_pBuffer;
    PYX_TRACE(L"PyxControlThread VirtualChannelRead OK. dwRet = %d,\r\n   phdr->dwMessageType = 0x%08X "
              L"dwChannelNumber = %d ('%c%c%c%c')\r\n",
              n, h.dwMessageType, h.dwChannelNumber, code[0], code[1], code[2], code[3]);
    switch (h.dwMessageType) {
    case PYXMSG_SEND_PARAMS: return OnSendParams(n);
    case PYXMSG_RPC_OPEN: return OnOpen(n, arrived);
    case PYXMSG_RPC_CLOSE: return OnClose(n, false);
    case PYXMSG_RPC_FCLOSE: return OnClose(n, true);
    default: PYX_TRACE(L" ********** ChannelRead Unexpected message!!!!!!! ************\r\n"); return true;
    }
}

bool CControlDispatch::OnSendParams(uint32_t n)
{
    SendParams params{};
    if (!ReadSendParams(m_pBuffer, n, &params)) {
        PYX_TRACE(L"PyxControlThread: PYXMSG_SEND_PARAMS of %d bytes is too short, dropped\r\n", n);
        return true;
    }
    m_parameters.dwMaxBlockKB = params.dwMaxBlockKB;
    m_parameters.dwTargetRate = params.dwTargetRate;
    // ICA keeps chunking on: its channel carries nothing longer than a chunk.
    if (m_kind == SessionKind::Rdp)
        m_parameters.dwChunking = params.dwChunking;
    m_channel.SetChunking(m_parameters.dwChunking);
    if (params.dwPolicy & kPolicyApply)
        m_channel.ApplyClientPolicy(params.dwPolicy);

    BuildIntReply(m_pBuffer, 0, CHANNEL_CONTROL);
    if (!m_channel.WriteReply(m_pBuffer, kIntMessageSize)) {
        PYX_TRACE(L"PYXMSG_SEND_PARAMS ERRROR ChannelWrite\r\n");
        return false;
    }
    return true;
}

// OPEN: the file is opened on a thread of its own, waited for until 20 s
// after the OPEN arrived or the exit signal; the reply tells the client the
// outcome, or a time-out.
bool CControlDispatch::OnOpen(uint32_t n, uint64_t arrived)
{
    OpenRequest request{};
    if (!ReadOpenRequest(m_pBuffer, n, &request)) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN: the file name is cut off by the end of the %d-byte message, dropped\r\n", n);
        return true;
    }
    const MessageHeader h = LoadHeader(m_pBuffer);
    // The name as trace text (UTF-16 units, one per wide character).
    wchar_t name[kNameUnits + 1];
    for (size_t i = 0; i <= request.units; ++i)
        name[i] = static_cast<wchar_t>(request.filename[i]);

    CFileRpcRequests *file = m_files.CreateFileObject();
    if (!file) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN CreateInstance failed\r\n");
        return false;
    }
    PYX_TRACE(L"+PYXMSG_RPC_OPEN dwMessageDataSize 0x%x, dwPSN 0x%x\r\n", h.dwMessageDataSize, h.dwPSN);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpen->filename = '%s'\r\n", name);

    // The reply is built from what the object held before its worker
    // started: from then on a channel error may tear it down at any time.
    FileOpenOutcome outcome;
    bool opened = false;
    int32_t threadError = 0;
    const std::shared_ptr<CPendingOpen> job = m_files.StartOpen(file, request.filename, &threadError);
    if (!job) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN: no thread for the open, error %d\r\n", threadError);
        outcome.extendedError = ERR_CREATE_THREAD;
        outcome.systemError = threadError;
    } else {
        switch (job->Wait(arrived + kOpenDeadlineMs)) {
        case CPendingOpen::Outcome::Done:
            opened = job->Opened();
            outcome = job->Result();
            break;
        case CPendingOpen::Outcome::Exited:
            // The thread ends: nobody is left to answer, and the open's own
            // thread disposes of what it opens.
            PYX_TRACE(L"PYXMSG_RPC_OPEN: the exit event came during the open; the open is given up\r\n");
            return true;
        case CPendingOpen::Outcome::TimedOut:
            PYX_TRACE(L"PYXMSG_RPC_OPEN: no outcome within %d ms; the open is given up\r\n", kOpenDeadlineMs);
            outcome.systemError = kOpenTimedOutError;
            file = nullptr;   // its thread's from now on
            break;
        }
    }

    BuildOpenReply(m_pBuffer, outcome.fileDescriptor, outcome.channelNumber, outcome.extendedError,
                   outcome.systemError);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpenResp->file_desc = 0x%x, pMsgOpenResp->nChannelNumber = %d\r\n",
              outcome.fileDescriptor, outcome.channelNumber);
    PYX_TRACE(L"PYXMSG_RPC_OPEN pMsgOpenResp->nExtendedErrorNumber = 0x%x\r\n", outcome.extendedError);

    if (!m_channel.WriteReply(m_pBuffer, kOpenReplySize)) {
        PYX_TRACE(L"PYXMSG_RPC_OPEN ERRROR ChannelWrite\r\n");
        // A served file may meanwhile have been torn down by its worker.
        if (file && (!opened || m_files.Claim(file)))
            m_files.Discard(file);
        return false;
    }
    if (file && !opened)
        m_files.Discard(file);
    PYX_TRACE(L"-PYXMSG_RPC_OPEN\r\n");
    return true;
}

bool CControlDispatch::OnClose(uint32_t n, bool byStream)
{
    uint32_t handle = 0;
    if (!ReadCloseRequest(m_pBuffer, n, &handle)) {
        PYX_TRACE(L"%s of %d bytes is too short, dropped\r\n", byStream ? L"PYXMSG_RPC_FCLOSE" : L"PYXMSG_RPC_CLOSE", n);
        return true;
    }
    // The lookup claims the object for teardown, so a worker tearing down
    // its own object at the same moment cannot make it go twice.
    CFileRpcRequests *file =
        byStream ? m_files.ClaimByStream(handle) : m_files.ClaimByDescriptor(static_cast<int>(handle));
    if (!file) {
        if (byStream)
            PYX_TRACE(L"ChannelWrite: PYXMSG_RPC_FCLOSE GetClassByFileDescriptor got 0\r\n");
        else
            PYX_TRACE(L"ChannelWrite: PYXMSG_RPC_CLOSE GetClassByFileDescriptor got 0\r\n");
        return true;
    }
    if (byStream)
        PYX_TRACE(L"ChannelRead: PYXMSG_RPC_FCLOSE FD = %d,  FP = 0x%x\r\n", file->m_dwFileDescriptor,
                  file->m_dwFilePointer);
    else
        PYX_TRACE(L"PYXMSG_RPC_CLOSE FD = %d,  FP = 0x%x\r\n", file->m_dwFileDescriptor, file->m_dwFilePointer);

    const int result = m_files.CloseClaimed(file);   // the object is gone (or its worker finishes it)
    BuildIntReply(m_pBuffer, result, CHANNEL_CONTROL);
    if (!m_channel.WriteReply(m_pBuffer, kIntMessageSize)) {
        if (byStream)
            PYX_TRACE(L"PYXMSG_RPC_FCLOSE ERRROR ChannelWrite\r\n");
        else
            PYX_TRACE(L"PYXMSG_RPC_CLOSE ERRROR ChannelWrite\r\n");
        return false;
    }
    return true;
}

// --- ICA routing ------------------------------------------------------------

void WaitForBufferReturned(CIcaRoutingOps &ops, const CIcaBufferHandoff &handoff)
{
    while (!handoff.IsFree()) {
        if (ops.IsExitSet())
            return;
        ops.WaitPassed(100);
    }
}

bool PassTheMessage(int channel, uint32_t n, CIcaRoutingOps &ops, CSharedMessage &message)
{
    CIcaBufferHandoff &handoff = message.handoff;
    if (!IsDataChannel(channel))
        return false;
    CIcaRoutingOps::Worker worker = ops.WorkerOf(channel);
    // A worker ends its request just after its reply has gone out, and the
    // client may answer that reply sooner: it is given a moment to come
    // back for the next one, or that request would be lost.
    for (const uint64_t grace = ops.Now() + kBusyGraceMs;
         worker == CIcaRoutingOps::Worker::Busy && ops.Now() < grace; worker = ops.WorkerOf(channel))
        ops.WaitPassed(1);
    switch (worker) {
    case CIcaRoutingOps::Worker::None:
        // No worker waits on a channel without a file: the message is
        // dropped at once, so a stream of them cannot hold the control
        // channel 1500 ms each.
        PYX_TRACE(L"pass_the_message: no file on data channel %d, message dropped\r\n", channel);
        return false;
    case CIcaRoutingOps::Worker::Busy:
        // A worker still in its previous request after the grace would take
        // this one only when that is done: every other file and "SEND"
        // would wait for it.
        PYX_TRACE(L"pass_the_message: the worker of data channel %d is still in a request, message dropped\r\n",
                  channel);
        return false;
    case CIcaRoutingOps::Worker::Ready: break;
    }
    if (!ops.PrepareWake(channel))
        return false;
    message.length.store(n, std::memory_order_release);
    // The hand-off state, not the worker's wake-up, tells whether the worker
    // is done: a late signal of an earlier hand-off must not count for this one.
    handoff.Offer(channel);
    ops.Wake(channel);
    const uint64_t deadline = ops.Now() + kHandoffWaitMs;
    for (;;) {
        if (handoff.IsFree())
            return true;
        const uint64_t now = ops.Now();
        if (now >= deadline)
            break;
        ops.WaitPassed(static_cast<uint32_t>(deadline - now));
    }
    PYX_TRACE(L"pass_the_message: Timeout, Event not handled!!!!!!!!!!!!!!1\r\n");
    if (!handoff.Withdraw(channel))
        WaitForBufferReturned(ops, handoff);   // the worker took it and is still at work
    return false;
}
