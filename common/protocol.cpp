#include "protocol.h"

#include <cstring>

namespace {

unsigned char *Bytes(void *p) { return static_cast<unsigned char *>(p); }
const unsigned char *Bytes(const void *p) { return static_cast<const unsigned char *>(p); }

} // namespace

MessageHeader LoadHeader(const void *msg)
{
    const unsigned char *b = Bytes(msg);
    MessageHeader h;
    h.dwMessageType = LoadLE32(b + hdr::kType);
    h.dwMessageDataSize = LoadLE32(b + hdr::kDataSize);
    h.dwPSN = LoadLE32(b + hdr::kPSN);
    h.dwChannelNumber = LoadLE32s(b + hdr::kChannel);
    h.dwChunkIndex = LoadLE32(b + hdr::kChunkIndex);
    h.dwLastChunk = LoadLE32(b + hdr::kLastChunk);
    h.dwReserved1 = LoadLE32(b + hdr::kReserved1);
    h.dwReserved2 = LoadLE32(b + hdr::kReserved2);
    return h;
}

void StoreHeader(void *msg, const MessageHeader &h)
{
    unsigned char *b = Bytes(msg);
    StoreLE32(b + hdr::kType, h.dwMessageType);
    StoreLE32(b + hdr::kDataSize, h.dwMessageDataSize);
    StoreLE32(b + hdr::kPSN, h.dwPSN);
    StoreLE32s(b + hdr::kChannel, h.dwChannelNumber);
    StoreLE32(b + hdr::kChunkIndex, h.dwChunkIndex);
    StoreLE32(b + hdr::kLastChunk, h.dwLastChunk);
    StoreLE32(b + hdr::kReserved1, h.dwReserved1);
    StoreLE32(b + hdr::kReserved2, h.dwReserved2);
}

bool IsCompleteMessage(const void *msg, uint32_t n)
{
    if (n < kHeaderSize)
        return false;
    // n - 32 cannot underflow here, and the comparison cannot overflow.
    return MessageDataSize(msg) <= n - kHeaderSize;
}

void PrepareReply(void *msg, uint32_t dataSize, int32_t channel)
{
    unsigned char *b = Bytes(msg);
    StoreLE32(b + hdr::kDataSize, dataSize);
    StoreLE32s(b + hdr::kChannel, channel);
    StoreLE32(b + hdr::kChunkIndex, 0);
    StoreLE32(b + hdr::kLastChunk, 0);
}

bool RdpDataChannelName(int n, char *out, size_t size)
{
    if (!IsDataChannel(n) || size < 6)
        return false;
    std::memcpy(out, "pyx0", 4);
    out[4] = static_cast<char>('0' + n);
    out[5] = '\0';
    return true;
}

bool ReadNameField(const unsigned char *field, size_t avail, WireChar (&out)[kNameUnits + 1], size_t *units)
{
    const size_t unitsAvail = (avail < kNameBytes ? avail : kNameBytes) / 2;
    size_t i = 0;
    for (; i < unitsAvail; ++i) {
        const WireChar c = static_cast<WireChar>(LoadLE16(field + 2 * i));
        if (c == 0)
            break;
        out[i] = c;
    }
    out[i] = 0;
    *units = i;
    // Complete when a NUL was found, or when the whole field was there.
    return i < unitsAvail || unitsAvail == kNameUnits;
}

void BuildSolicitation(unsigned char (&out)[kSolicitationSize], uint32_t psn)
{
    std::memset(out, 0, sizeof out);
    MessageHeader h{};
    h.dwMessageType = PYXMSG_SEND_PARAMS;
    h.dwMessageDataSize = 4;
    h.dwPSN = psn;
    h.dwChannelNumber = CHANNEL_PLAYER;
    StoreHeader(out, h);
}

bool ReadSendParams(const void *msg, uint32_t n, SendParams *out)
{
    if (n < kSendParamsSize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->dwPolicy = LoadLE32(b + 32);
    out->dwMaxBlockKB = LoadLE32(b + 48);
    out->dwTargetRate = LoadLE32(b + 52);
    out->dwChunking = LoadLE32(b + 56);
    return true;
}

bool ReadOpenRequest(const void *msg, uint32_t n, OpenRequest *out)
{
    if (n < kOpenNameOffset)
        return false;
    return ReadNameField(Bytes(msg) + kOpenNameOffset, n - kOpenNameOffset, out->filename, &out->units);
}

void BuildOpenReply(void *msg, int32_t fileDesc, int32_t channel, int32_t extendedError, int32_t systemError)
{
    unsigned char *b = Bytes(msg);
    StoreLE32s(b + 32, fileDesc);
    StoreLE32s(b + 36, channel);
    StoreLE32s(b + 40, extendedError);
    StoreLE32s(b + 44, systemError);
    PrepareReply(msg, 16, CHANNEL_CONTROL);
}

bool ReadOpenReply(const void *msg, uint32_t n, OpenReply *out)
{
    if (n != kOpenReplySize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->fileDesc = LoadLE32s(b + 32);
    out->channel = LoadLE32s(b + 36);
    out->extendedError = LoadLE32s(b + 40);
    out->systemError = LoadLE32s(b + 44);
    return true;
}

bool ReadCloseRequest(const void *msg, uint32_t n, uint32_t *handle)
{
    if (n < kIntMessageSize)
        return false;
    *handle = LoadLE32(Bytes(msg) + 32);
    return true;
}

void BuildIntReply(void *msg, int32_t value, int32_t channel)
{
    StoreLE32s(Bytes(msg) + 32, value);
    PrepareReply(msg, 4, channel);
}

bool ReadReadRequest(const void *msg, uint32_t n, ReadRequest *out)
{
    if (n < kReadRequestSize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->file_desc = LoadLE32s(b + 32);
    out->count = LoadLE32(b + 36);
    out->position = LoadLE32s(b + 40);
    return true;
}

bool ReadSeekRequest(const void *msg, uint32_t n, SeekRequest *out)
{
    if (n < kSeekRequestSize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->file_desc = LoadLE32s(b + 32);
    out->offset = LoadLE32s(b + 36);
    out->origin = LoadLE32s(b + 40);
    return true;
}

bool ReadFdopenRequest(const void *msg, uint32_t n, FdopenRequest *out)
{
    if (n < kFdopenRequestSize)
        return false;
    out->file_desc = LoadLE32s(Bytes(msg) + 32);
    return true;
}

bool ReadFreadRequest(const void *msg, uint32_t n, FreadRequest *out)
{
    if (n < kFreadRequestSize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->stream = LoadLE32(b + 32);
    out->size = LoadLE32(b + 36);
    out->nmemb = LoadLE32(b + 40);
    return true;
}

bool ReadFseekRequest(const void *msg, uint32_t n, FseekRequest *out)
{
    if (n < kFseekRequestSize)
        return false;
    const unsigned char *b = Bytes(msg);
    out->stream = LoadLE32(b + 32);
    out->offset = LoadLE32s(b + 36);
    out->origin = LoadLE32s(b + 40);
    return true;
}

bool ReadFtellRequest(const void *msg, uint32_t n, FtellRequest *out)
{
    if (n < kFtellRequestSize)
        return false;
    out->stream = LoadLE32(Bytes(msg) + 32);
    return true;
}

void BuildDataReply(void *msg, int32_t returnValue, uint32_t dataBytes, int32_t channel)
{
    StoreLE32s(Bytes(msg) + 32, returnValue);
    PrepareReply(msg, 4 + dataBytes, channel);
}

void BuildFdopenReply(void *msg, uint32_t stream, uint32_t error, int32_t channel)
{
    unsigned char *b = Bytes(msg);
    StoreLE32(b + 32, stream);
    StoreLE32(b + 36, 0);
    StoreLE32(b + 40, error);
    PrepareReply(msg, 12, channel);
}

// --- the client's requests ------------------------------------------------------

std::vector<unsigned char> BuildWordsRequest(uint32_t type, const std::vector<uint32_t> &words, uint32_t psn,
                                             int32_t channel, uint32_t size)
{
    const size_t length = kHeaderSize + 4 * words.size();
    std::vector<unsigned char> m(length > size ? length : size, 0);
    MessageHeader h{};
    h.dwMessageType = type;
    h.dwMessageDataSize = static_cast<uint32_t>(m.size() - kHeaderSize);
    h.dwPSN = psn;
    h.dwChannelNumber = channel;
    StoreHeader(m.data(), h);
    size_t at = kHeaderSize;
    for (uint32_t w : words) {
        StoreLE32(m.data() + at, w);
        at += 4;
    }
    return m;
}

std::vector<unsigned char> BuildSendParams(uint32_t policy, uint32_t readCap, uint32_t targetRate, uint32_t chunking,
                                           uint32_t psn)
{
    // Policy at 32, three reserved words, then the read cap, the rate and
    // the chunking at 48, 52 and 56.
    return BuildWordsRequest(PYXMSG_SEND_PARAMS, {policy, 0, 0, 0, readCap, targetRate, chunking}, psn);
}

std::vector<unsigned char> BuildOpenRequest(const std::u16string &name, uint32_t psn)
{
    std::vector<unsigned char> m = BuildWordsRequest(PYXMSG_RPC_OPEN, {}, psn, CHANNEL_CONTROL, kOpenRequestSize);
    for (size_t i = 0; i < name.size() && i < kNameUnits - 1; ++i)
        StoreLE16(m.data() + kOpenNameOffset + 2 * i, static_cast<uint16_t>(name[i]));
    return m;
}
