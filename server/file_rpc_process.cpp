#include "file_rpc_process.h"

#include "local_file.h"
#include "protocol.h"
#include "stream_table.h"
#include "trace.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

std::atomic<double> g_dReadScale{1.0};

namespace {

// The scale moves by 5% per request. Kept within these bounds so that it can
// neither reach 0 nor infinity, from where it would never come back.
constexpr double kMinReadScale = 1.0 / 65536;
constexpr double kMaxReadScale = 65536.0;

// Adaptation alone never cuts a read below 1 KB: a reply of 0 would look like
// the end of the file, and replies under 1 KB are not counted, so the
// throughput would never be measured again.
constexpr uint32_t kMinAdaptedBytes = 1024;

constexpr uint64_t kMaxBufferSize = kMaxReplyDataBytes + kMessageBufferSize;

// Each read or write of a stream's position travels as a signed 32-bit value.
int32_t ToWirePosition(long position)
{
    return (position < -1 || position > INT32_MAX) ? -1 : static_cast<int32_t>(position);
}

} // namespace

CFileRpcRequests::~CFileRpcRequests() { ReleaseStream(); }

int CFileRpcRequests::LastOsError() { return errno; }

int64_t CFileRpcRequests::CurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

std::unique_ptr<unsigned char[]> CFileRpcRequests::AllocateReplyBuffer(uint64_t size)
{
    if (size > kMaxBufferSize)
        return nullptr;
    if (m_pSpareReply && m_ullSpareCapacity >= size) {
        m_ullLentCapacity = m_ullSpareCapacity;
        m_ullSpareCapacity = 0;
        return std::move(m_pSpareReply);
    }
    m_ullLentCapacity = size;
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[static_cast<size_t>(size)]);
}

void CFileRpcRequests::KeepReplyBuffer(std::unique_ptr<unsigned char[]> buffer)
{
    // A player reads in one size: its next reply fits the same buffer, and a
    // fresh one of that size costs the platform pages to map and fill.
    if (buffer && m_ullLentCapacity <= kKeptReplyBytes && m_ullLentCapacity >= m_ullSpareCapacity) {
        m_pSpareReply = std::move(buffer);
        m_ullSpareCapacity = m_ullLentCapacity;
    }
    m_ullLentCapacity = 0;
}

void CFileRpcRequests::ResetThroughput()
{
    m_dwThroughput = 0;
    m_dwKBytesSent = 0;
    m_tWindowStart = CurrentTime();
}

void CFileRpcRequests::ReleaseStream()
{
    if (m_dwFilePointer != 0)
        CloseStream(m_dwFilePointer);
    m_dwFilePointer = 0;
}

void CFileRpcRequests::MeasureThroughput()
{
    m_tNow = CurrentTime();
    const uint32_t elapsed = static_cast<uint32_t>(static_cast<uint64_t>(m_tNow) - static_cast<uint64_t>(m_tWindowStart));
    // Until a KB has been counted the window keeps its start, so the next
    // measurement covers the whole time since.
    if (m_dwKBytesSent != 0 && elapsed > 3) {
        m_dwThroughput = m_dwKBytesSent / elapsed;
        m_tWindowStart = m_tNow;
        m_dwKBytesSent = 0;
    }
}

void CFileRpcRequests::SetClientParameters(std::shared_ptr<const CClientParameters> parameters)
{
    m_pParameters = std::move(parameters);
}

const CClientParameters &CFileRpcRequests::ClientParameters() const
{
    static const CClientParameters s_none;
    return m_pParameters ? *m_pParameters : s_none;
}

// One step of the shared scale, then k scaled by it, between floor and limit.
uint32_t CFileRpcRequests::ApplyScale(uint32_t k, uint32_t limit)
{
    const double factor = m_dwThroughput < ClientParameters().dwTargetRate.load() ? 1.05 : 0.95;
    double scale = g_dReadScale.load();
    double next;
    do {
        next = scale * factor;
        if (next < kMinReadScale)
            next = kMinReadScale;
        else if (next > kMaxReadScale)
            next = kMaxReadScale;
    } while (!g_dReadScale.compare_exchange_weak(scale, next));

    const double scaled = next * static_cast<double>(k);
    return scaled >= static_cast<double>(limit) ? limit : static_cast<uint32_t>(scaled);
}

uint32_t CFileRpcRequests::AdaptReadCount(uint32_t count)
{
    const uint64_t capBytes = uint64_t(ClientParameters().dwMaxBlockKB.load()) * 1024;
    const uint32_t targetRate = ClientParameters().dwTargetRate.load();
    // The server's own ceiling comes first: the client does not decide how
    // much memory one reply takes.
    const uint32_t limit = count < kMaxReplyDataBytes ? count : kMaxReplyDataBytes;
    uint32_t k = limit;
    if (capBytes != 0 && k > capBytes)
        k = static_cast<uint32_t>(capBytes);
    if (m_dwThroughput != 0 && targetRate != 0) {
        const uint32_t capped = k;
        k = ApplyScale(k, limit);
        const uint32_t floor = capped < kMinAdaptedBytes ? capped : kMinAdaptedBytes;
        if (k < floor)
            k = floor;
    }
    return k;
}

uint32_t CFileRpcRequests::AdaptFreadCount(uint32_t size, uint32_t nmemb)
{
    const uint64_t capBytes = uint64_t(ClientParameters().dwMaxBlockKB.load()) * 1024;
    const uint32_t targetRate = ClientParameters().dwTargetRate.load();
    // The server's ceiling in whole elements: the client does not decide how
    // much memory one reply takes. An element larger than it reads nothing.
    const uint64_t ceiling = size >= 2 ? kMaxReplyDataBytes / size : kMaxReplyDataBytes;
    const uint32_t limit = nmemb < ceiling ? nmemb : static_cast<uint32_t>(ceiling);
    uint32_t t = limit;
    if (capBytes != 0) {
        // Products in 64 bits: the cap may only lower the count.
        uint64_t bytes = size >= 2 ? uint64_t(t) * size : t;
        if (bytes > capBytes)
            bytes = capBytes;
        if (size >= 2)
            bytes /= size;
        t = static_cast<uint32_t>(bytes);
    }
    if (m_dwThroughput != 0 && targetRate != 0) {
        const uint32_t capped = t;
        t = ApplyScale(t, limit);
        // Enough whole elements for 1 KB, but never more than the cap lets through.
        uint32_t floor = size == 0 ? 0 : static_cast<uint32_t>((uint64_t(kMinAdaptedBytes) + size - 1) / size);
        if (floor > capped)
            floor = capped;
        if (t < floor)
            t = floor;
    }
    return t;
}

bool CFileRpcRequests::Send(void *message)
{
    const uint32_t length = kHeaderSize + MessageDataSize(message);
    uint32_t written = 0;
    if (!ChannelWrite(message, length, &written)) {
        m_nSystemErrorNumber = LastOsError();
        m_nExtendedErrorNumber = ERR_CHANNEL_IO;
        PYX_TRACE(L"ProcessFileRpc: ChannelWrite failed");
        return false;
    }
    return true;
}

void CFileRpcRequests::CountSent(uint64_t bytes)
{
    m_dwKBytesSent += static_cast<uint32_t>(bytes / 1024);
}

void CFileRpcRequests::ProcessFileRpc()
{
    unsigned char *msg = GetMessageBuffer();
    uint32_t received = GetMessageLength();
    if (!msg)
        return;
    if (received > kMessageBufferSize)
        received = kMessageBufferSize;
    if (received < kHeaderSize) {
        PYX_TRACE(L"ProcessFileRpc: message of %u bytes has no complete header, dropped\r\n", received);
        return;
    }
    // The fields must lie inside both what arrived and what the header declares.
    const uint64_t declared = uint64_t(kHeaderSize) + MessageDataSize(msg);
    const uint32_t n = declared < received ? static_cast<uint32_t>(declared) : received;

    try {
        switch (MessageType(msg)) {
        case PYXMSG_RPC_READ: OnRead(msg, n); break;
        case PYXMSG_RPC_SEEK: OnSeek(msg, n); break;
        case PYXMSG_RPC_FDOPEN: OnFdopen(msg, n); break;
        case PYXMSG_RPC_FREAD: OnFread(msg, n); break;
        case PYXMSG_RPC_FSEEK: OnFseek(msg, n); break;
        case PYXMSG_RPC_FTELL: OnFtell(msg, n); break;
        default:
            PYX_TRACE(L"ChannelRead got unrecognized chunk of data... phdr->dwMessageType = 0x%x\r\n",
                      MessageType(msg));
            break;
        }
    } catch (const std::bad_alloc &) {
        // Memory ran out inside the request (a URL's request headers, a skip
        // buffer, a stream): the client still gets the failed reply it waits
        // for, and the worker goes on with the next request.
        PYX_TRACE(L"ProcessFileRpc: out of memory, request 0x%x answered as failed\r\n", MessageType(msg));
        ReplyFailed(msg);
    }
}

void CFileRpcRequests::ReplyFailed(unsigned char *msg)
{
    // The request's header is still in place: replies are built over it
    // only once the source has answered.
    if (MessageType(msg) == PYXMSG_RPC_FDOPEN)
        BuildFdopenReply(msg, 0, 0, m_nChannelNumber);
    else
        BuildIntReply(msg, -1, m_nChannelNumber);
    Send(msg);
}

namespace {

void TraceShortRequest(const unsigned char *msg, uint32_t n)
{
    PYX_TRACE(L"ProcessFileRpc: request 0x%x of %u bytes is too short for its fields, dropped\r\n", MessageType(msg), n);
}

} // namespace

void CFileRpcRequests::OnRead(unsigned char *msg, uint32_t n)
{
    ReadRequest rq;
    if (!ReadReadRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    MeasureThroughput();
    const uint32_t count = AdaptReadCount(rq.count);
    StoreLE32(msg + kReadCountOffset, count);

    if (rq.file_desc != m_dwFileDescriptor)
        PYX_TRACE(L"ChannelRead got a wrong m_dwFileDescriptor = 0x%x,\r\n pMsgSeek->file_desc = 0x%x\r\n",
                  m_dwFileDescriptor, rq.file_desc);
    if (rq.position != -1 && m_pFile)
        m_pFile->Seek(rq.position, 0);

    if (count <= kInPlaceDataMax) {
        const int r = m_pFile ? m_pFile->Read(msg + kReplyDataOffset, count) : -1;
        BuildDataReply(msg, r, r > 0 ? static_cast<uint32_t>(r) : 0, m_nChannelNumber);
        if (Send(msg) && r > 0)
            CountSent(static_cast<uint32_t>(r));
        return;
    }

    const uint64_t size = uint64_t(count) + kReplyDataOffset;
    std::unique_ptr<unsigned char[]> reply = AllocateReplyBuffer(size);
    if (!reply) {
        PYX_TRACE(L"ProcessFileRpc: Failed allocating %d memory\r\n", static_cast<int>(static_cast<uint32_t>(size)));
        BuildIntReply(msg, -1, m_nChannelNumber);
        Send(msg);
        return;
    }
    std::memcpy(reply.get(), msg, kReadRequestSize);
    PYX_TRACE(L"Read from file Long: requested: pMsgRead->count = %d, pMsgRead->file_desc = %d\r\n",
              static_cast<int>(count), rq.file_desc);
    const int r = m_pFile ? m_pFile->Read(reply.get() + kReplyDataOffset, count) : -1;
    PYX_TRACE(L"Got pMsgInt->msg_int.return_value = %d\r\n", r);
    BuildDataReply(reply.get(), r, r > 0 ? static_cast<uint32_t>(r) : 0, m_nChannelNumber);
    if (r <= 0)
        PYX_TRACE(L"Error reading from file: %d\r\n", LastOsError());
    if (Send(reply.get()) && r > 0)
        CountSent(static_cast<uint32_t>(r));
    KeepReplyBuffer(std::move(reply));
}

void CFileRpcRequests::OnSeek(unsigned char *msg, uint32_t n)
{
    SeekRequest rq;
    if (!ReadSeekRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    if (rq.file_desc != m_dwFileDescriptor)
        PYX_TRACE(L"ChannelRead got a wrong file descriptor m_dwFileDescriptor = 0x%x,\r\n pMsgSeek->file_desc = 0x%x\r\n",
                  m_dwFileDescriptor, rq.file_desc);
    const int32_t r = m_pFile ? ToWirePosition(m_pFile->Seek(rq.offset, rq.origin)) : -1;
    BuildIntReply(msg, r, m_nChannelNumber);
    Send(msg);
}

void CFileRpcRequests::OnFdopen(unsigned char *msg, uint32_t n)
{
    FdopenRequest rq;
    if (!ReadFdopenRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    // The mode text is only logged: up to 15 narrow characters from offset 36.
    wchar_t mode[16] = {};
    for (uint32_t i = 0; i + 1 < 16 && kFdopenRequestSize + i < n; ++i) {
        const unsigned char c = msg[kFdopenRequestSize + i];
        if (c == 0)
            break;
        mode[i] = (c >= 0x20 && c < 0x7F) ? wchar_t(c) : L'?';
    }

    if (rq.file_desc == m_dwFileDescriptor) {
        // Only a local file has a descriptor a stream can be made over.
        auto *local = dynamic_cast<CLocalFileInterface *>(m_pFile.get());
        int error = EBADF;
        uint32_t stream = 0;
        if (local && local->Descriptor() >= 0)
            stream = OpenStreamOverDescriptor(local->Descriptor(), &error);
        // The new stream takes the old one's place; the old one is closed.
        ReleaseStream();
        m_dwFilePointer = stream;
        BuildFdopenReply(msg, stream, 0, m_nChannelNumber);
        PYX_TRACE(L"ChannelRead PYXMSG_RPC_FDOPEN, Fd = 0x%x,\r\n Mode = %s, m_dwFilePointer = 0x%x\r\n",
                  rq.file_desc, mode, m_dwFilePointer);
        if (stream == 0) {
            if (error == 0)
                error = LastOsError();
            BuildFdopenReply(msg, 0, static_cast<uint32_t>(error), m_nChannelNumber);
            PYX_TRACE(L"ChannelRead PYXMSG_RPC_FDOPEN, fdopen failed! Error = %d\n", error);
        }
    } else {
        PYX_TRACE(L"ChannelRead got a wrong file descriptor m_dwFileDescriptor = 0x%x,\r\n pMsgSeek->file_desc = 0x%x\r\n",
                  m_dwFileDescriptor, rq.file_desc);
        BuildFdopenReply(msg, 0, 0, m_nChannelNumber);
    }
    Send(msg);
}

void CFileRpcRequests::OnFread(unsigned char *msg, uint32_t n)
{
    FreadRequest rq;
    if (!ReadFreadRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    MeasureThroughput();
    const uint32_t size = rq.size;
    const uint32_t nmemb = AdaptFreadCount(size, rq.nmemb);
    StoreLE32(msg + kFreadNmembOffset, nmemb);

    if (rq.stream != m_dwFilePointer)
        PYX_TRACE(L"ChannelRead got a wrong file pointer m_dwFilePointer = 0x%x, pMsgSeek->stream = 0x%x\r\n",
                  m_dwFilePointer, rq.stream);
    const StreamRef stream = FindStream(m_dwFilePointer);
    const uint64_t total = uint64_t(size) * nmemb;

    // No stream, or nothing to read: 0 elements, from the receive buffer.
    if (!stream || total == 0 || total <= kInPlaceDataMax) {
        const size_t k = (stream && total != 0) ? std::fread(msg + kReplyDataOffset, size, nmemb, stream.get()) : 0;
        const uint64_t bytes = uint64_t(k) * size;
        BuildDataReply(msg, static_cast<int32_t>(k), static_cast<uint32_t>(bytes), m_nChannelNumber);
        if (Send(msg))
            CountSent(bytes);
        return;
    }

    const uint64_t bufferSize = total + kReplyDataOffset;
    std::unique_ptr<unsigned char[]> reply = AllocateReplyBuffer(bufferSize);
    if (!reply) {
        PYX_TRACE(L"ProcessFileRpc Fread: Failed allocating %d memory\r\n",
                  static_cast<int>(static_cast<uint32_t>(bufferSize)));
        BuildIntReply(msg, -1, m_nChannelNumber);
        Send(msg);
        return;
    }
    std::memcpy(reply.get(), msg, kFreadRequestSize);
    PYX_TRACE(L"PYXMSG_RPC_FREAD (L): nmemb = %d  size = %d, stream  = 0x%x ", static_cast<int>(nmemb),
              static_cast<int>(size), rq.stream);
    const size_t k = std::fread(reply.get() + kReplyDataOffset, size, nmemb, stream.get());
    PYX_TRACE(L"ret = %d\r\n", static_cast<int>(k));
    const uint64_t bytes = uint64_t(k) * size;
    BuildDataReply(reply.get(), static_cast<int32_t>(k), static_cast<uint32_t>(bytes), m_nChannelNumber);
    if (Send(reply.get()))
        CountSent(bytes);
    KeepReplyBuffer(std::move(reply));
}

void CFileRpcRequests::OnFseek(unsigned char *msg, uint32_t n)
{
    FseekRequest rq;
    if (!ReadFseekRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    if (rq.stream != m_dwFilePointer)
        PYX_TRACE(L"ChannelRead got a wrong file pointer m_dwFilePointer = 0x%x, pMsgSeek->stream = 0x%x\r\n",
                  m_dwFilePointer, rq.stream);
    const StreamRef stream = FindStream(m_dwFilePointer);
    const bool validOrigin = rq.origin == SEEK_SET || rq.origin == SEEK_CUR || rq.origin == SEEK_END;
    int32_t r = -1;
    if (stream && validOrigin)
        r = std::fseek(stream.get(), rq.offset, rq.origin) == 0 ? 0 : -1;
    BuildIntReply(msg, r, m_nChannelNumber);

    PYX_TRACE(L" PYXMSG_RPC_FSEEK offset: %d, Origin: ", rq.offset);
    if (rq.origin == SEEK_SET)
        PYX_TRACE(L"SEEK_SET\r\n");
    else if (rq.origin == SEEK_CUR)
        PYX_TRACE(L"SEEK_CUR\r\n");
    else if (rq.origin == SEEK_END)
        PYX_TRACE(L"SEEK_END\r\n");
    Send(msg);
}

void CFileRpcRequests::OnFtell(unsigned char *msg, uint32_t n)
{
    FtellRequest rq;
    if (!ReadFtellRequest(msg, n, &rq)) {
        TraceShortRequest(msg, n);
        return;
    }
    if (rq.stream != m_dwFilePointer)
        PYX_TRACE(L"ChannelRead got a wrong file pointer m_dwFilePointer = 0x%x, pMsgSeek->stream = 0x%x\r\n",
                  m_dwFilePointer, rq.stream);
    const StreamRef stream = FindStream(m_dwFilePointer);
    const int32_t r = stream ? ToWirePosition(std::ftell(stream.get())) : -1;
    BuildIntReply(msg, r, m_nChannelNumber);
    Send(msg);
}
