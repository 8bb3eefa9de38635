// Request processing of one file's data channel: READ and SEEK on the file's
// descriptor, FDOP, FRED, FSEK and FTEL on a stream made over it, with the
// read cap and the throughput control that the client asks for. Portable: the
// file objects supply the buffer, the channel and the OS error.
#pragma once

#include "client_parameters.h"
#include "file_source.h"
#include "protocol.h"

#include <atomic>
#include <cstdint>
#include <memory>

// The largest reply buffer a file object keeps between requests: ten files
// never hold more than ten of these while idle.
constexpr uint64_t kKeptReplyBytes = (1u << 20) + 36;

// Scale factor shared by every file; 1.0 at start.
extern std::atomic<double> g_dReadScale;

// Extended errors of a file object, as its OPEN reply or its worker reports them.
constexpr int32_t ERR_CHANNEL_OPEN = static_cast<int32_t>(0x80000001u);
constexpr int32_t ERR_CREATE_EVENT = static_cast<int32_t>(0x80000002u);
constexpr int32_t ERR_CREATE_THREAD = static_cast<int32_t>(0x80000003u);
constexpr int32_t ERR_CHANNEL_IO = static_cast<int32_t>(0x80000005u);

// What the OPEN reply carries, taken before the file's worker starts: once it
// runs, a channel error may tear the object down at any time.
struct FileOpenOutcome
{
    int32_t fileDescriptor = -1;
    int32_t channelNumber = 0;
    int32_t extendedError = 0;
    int32_t systemError = 0;
};

class CFileRpcRequests
{
public:
    virtual ~CFileRpcRequests();

    // Handles the request in the message buffer and sends its reply.
    virtual void ProcessFileRpc();

    // The buffer that holds the current request, kMessageBufferSize bytes.
    virtual unsigned char *GetMessageBuffer() = 0;
    // Bytes actually received into it for the current request.
    virtual uint32_t GetMessageLength() = 0;
    virtual bool ChannelWrite(void *buffer, uint32_t length, uint32_t *written) = 0;
    // The last OS error (Windows: GetLastError; natively errno).
    virtual int LastOsError();
    // Seconds since 1970.
    virtual int64_t CurrentTime();
    // A reply buffer for replies that don't fit the message buffer (the last
    // one kept, when it is large enough); null when there is no memory for it
    // or it can't exist (beyond 32 bits).
    virtual std::unique_ptr<unsigned char[]> AllocateReplyBuffer(uint64_t size);

    // Starts the measuring window afresh (at open).
    void ResetThroughput();

    // The session's client parameters, read once per request; until set,
    // those of a client that asked for nothing (no cap, no target rate,
    // chunking on).
    void SetClientParameters(std::shared_ptr<const CClientParameters> parameters);
    const CClientParameters &ClientParameters() const;
    // Closes the stream FDOP made, if any; the file's descriptor stays open.
    void ReleaseStream();

    int m_nChannelNumber = 0;
    int m_nExtendedErrorNumber = 0;
    int m_nSystemErrorNumber = 0;
    int32_t m_dwFileDescriptor = -1;
    uint32_t m_dwFilePointer = 0;
    std::unique_ptr<CVirtualFileInterface> m_pFile;
    uint32_t m_dwThroughput = 0;
    uint32_t m_dwKBytesSent = 0;
    int64_t m_tWindowStart = 0;
    int64_t m_tNow = 0;

protected:
    CFileRpcRequests() = default;
    CFileRpcRequests(const CFileRpcRequests &) = delete;
    CFileRpcRequests &operator=(const CFileRpcRequests &) = delete;

private:
    void MeasureThroughput();
    uint32_t AdaptReadCount(uint32_t count);
    uint32_t AdaptFreadCount(uint32_t size, uint32_t nmemb);
    uint32_t ApplyScale(uint32_t k, uint32_t limit);
    bool Send(void *message);
    // Answers the request in msg as failed: -1, or no stream for FDOP.
    void ReplyFailed(unsigned char *msg);
    void CountSent(uint64_t bytes);

    void OnRead(unsigned char *msg, uint32_t n);
    void OnSeek(unsigned char *msg, uint32_t n);
    void OnFdopen(unsigned char *msg, uint32_t n);
    void OnFread(unsigned char *msg, uint32_t n);
    void OnFseek(unsigned char *msg, uint32_t n);
    void OnFtell(unsigned char *msg, uint32_t n);

    // Takes back the buffer AllocateReplyBuffer gave for the next reply, when
    // it is at most kKeptReplyBytes.
    void KeepReplyBuffer(std::unique_ptr<unsigned char[]> buffer);

    std::shared_ptr<const CClientParameters> m_pParameters;
    std::unique_ptr<unsigned char[]> m_pSpareReply;
    uint64_t m_ullSpareCapacity = 0;
    uint64_t m_ullLentCapacity = 0;   // of the buffer the request in hand holds
};
