// Message header, codes, channel numbers and names, and the control and
// data-channel messages exchanged with the client device.
//
// Readers take the number of bytes actually received and never look past
// them. Builders write the server side's messages. All fields are 32-bit
// little-endian and are accessed through wire.h.
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Header

struct MessageHeader
{
    uint32_t dwMessageType;
    uint32_t dwMessageDataSize;
    uint32_t dwPSN;
    int32_t dwChannelNumber;
    uint32_t dwChunkIndex;
    uint32_t dwLastChunk;
    uint32_t dwReserved1;
    uint32_t dwReserved2;
};

static_assert(sizeof(MessageHeader) == 32, "MessageHeader is 32 bytes on the wire");
static_assert(offsetof(MessageHeader, dwMessageType) == 0);
static_assert(offsetof(MessageHeader, dwMessageDataSize) == 4);
static_assert(offsetof(MessageHeader, dwPSN) == 8);
static_assert(offsetof(MessageHeader, dwChannelNumber) == 12);
static_assert(offsetof(MessageHeader, dwChunkIndex) == 16);
static_assert(offsetof(MessageHeader, dwLastChunk) == 20);
static_assert(offsetof(MessageHeader, dwReserved1) == 24);
static_assert(offsetof(MessageHeader, dwReserved2) == 28);

namespace hdr {
constexpr size_t kType = 0;
constexpr size_t kDataSize = 4;
constexpr size_t kPSN = 8;
constexpr size_t kChannel = 12;
constexpr size_t kChunkIndex = 16;
constexpr size_t kLastChunk = 20;
constexpr size_t kReserved1 = 24;
constexpr size_t kReserved2 = 28;
} // namespace hdr

constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kMessageBufferSize = 131072;                  // receive buffers
constexpr uint32_t kInPlaceDataMax = kMessageBufferSize - 36;    // 131036
constexpr uint32_t kRdpChunkLimit = 1600;
constexpr uint32_t kIcaChunkLimit = 2044;
constexpr uint32_t kControlReadSize = 1600;                      // control thread's read size
// The most data one READ or FRED reply carries, whatever the client asks
// and whether or not it set a read cap: the server lowers the count to it,
// as the read cap lowers it. So no message of the protocol, joined from its
// chunks or sent whole, is longer than kMaxMessageSize.
constexpr uint32_t kMaxReplyDataBytes = 4u << 20;
constexpr uint32_t kMaxMessageSize = 36 + kMaxReplyDataBytes;

MessageHeader LoadHeader(const void *msg);
void StoreHeader(void *msg, const MessageHeader &h);

inline uint32_t MessageType(const void *msg) { return LoadLE32(static_cast<const unsigned char *>(msg) + hdr::kType); }
inline uint32_t MessageDataSize(const void *msg) { return LoadLE32(static_cast<const unsigned char *>(msg) + hdr::kDataSize); }
inline int32_t MessageChannel(const void *msg) { return LoadLE32s(static_cast<const unsigned char *>(msg) + hdr::kChannel); }

// A read of n bytes is a message only if n >= 32 and n >= 32 + dwMessageDataSize,
// compared unsigned and without overflow.
bool IsCompleteMessage(const void *msg, uint32_t n);

// Turns the request at msg into the header of its reply: code, dwPSN and both
// reserved words stay; data size and channel are set; chunk fields cleared.
void PrepareReply(void *msg, uint32_t dataSize, int32_t channel);

// ---------------------------------------------------------------------------
// Four-character codes: the characters in reading order at increasing
// addresses, compared as little-endian 32-bit values.

constexpr uint32_t FourCC(const char (&s)[5])
{
    return uint32_t(uint8_t(s[0])) | (uint32_t(uint8_t(s[1])) << 8) | (uint32_t(uint8_t(s[2])) << 16) |
           (uint32_t(uint8_t(s[3])) << 24);
}

constexpr uint32_t PYXMSG_SEND_PARAMS = FourCC("SEND");
constexpr uint32_t PYXMSG_RPC_OPEN = FourCC("OPEN");
constexpr uint32_t PYXMSG_RPC_CLOSE = FourCC("CLOS");
constexpr uint32_t PYXMSG_RPC_FCLOSE = FourCC("FCLO");
constexpr uint32_t PYXMSG_RPC_READ = FourCC("READ");
constexpr uint32_t PYXMSG_RPC_SEEK = FourCC("SEEK");
constexpr uint32_t PYXMSG_RPC_FREAD = FourCC("FRED");
constexpr uint32_t PYXMSG_RPC_FSEEK = FourCC("FSEK");
constexpr uint32_t PYXMSG_RPC_FTELL = FourCC("FTEL");
constexpr uint32_t PYXMSG_RPC_FDOPEN = FourCC("FDOP");
constexpr uint32_t PYXMSG_PLAYER_CONTROL = FourCC("CONT");
constexpr uint32_t PYXMSG_PLAYER_OPEN = FourCC("RUOF");

static_assert(PYXMSG_SEND_PARAMS == 0x444E4553);
static_assert(PYXMSG_RPC_OPEN == 0x4E45504F);
static_assert(PYXMSG_RPC_CLOSE == 0x534F4C43);
static_assert(PYXMSG_RPC_FCLOSE == 0x4F4C4346);
static_assert(PYXMSG_RPC_READ == 0x44414552);
static_assert(PYXMSG_RPC_SEEK == 0x4B454553);
static_assert(PYXMSG_RPC_FREAD == 0x44455246);
static_assert(PYXMSG_RPC_FSEEK == 0x4B455346);
static_assert(PYXMSG_RPC_FTELL == 0x4C455446);
static_assert(PYXMSG_RPC_FDOPEN == 0x504F4446);
static_assert(PYXMSG_PLAYER_CONTROL == 0x544E4F43);
static_assert(PYXMSG_PLAYER_OPEN == 0x464F5552);

// ---------------------------------------------------------------------------
// Channel numbers and names

constexpr int32_t CHANNEL_CONTROL = -1;   // control replies, ICA control requests
constexpr int32_t CHANNEL_PLAYER = -2;    // messages the server side originates
constexpr int kDataChannelCount = 10;     // data channels 0 ... 9

constexpr bool IsDataChannel(int32_t n) { return n >= 0 && n < kDataChannelCount; }

constexpr char kRdpControlChannelName[] = "pyxcm";
constexpr char kRdpPlayerChannelName[] = "pyxan";
constexpr char kIcaChannelName[] = "ZRBCHNL";

// "pyx00" ... "pyx09" into out (at least 6 bytes); false for n outside 0 ... 9.
bool RdpDataChannelName(int n, char *out, size_t size);

// ---------------------------------------------------------------------------
// Names: 260 UTF-16LE code units on the wire.

constexpr size_t kNameUnits = 260;
constexpr size_t kNameBytes = kNameUnits * 2;

// Reads a name field of `avail` bytes (at most 520 are looked at). The name
// ends at its first NUL; a field of 260 units without one is taken whole.
// out receives the units and a terminating NUL (kNameUnits + 1 units).
// Returns false when the field is cut short by the end of the message before
// a NUL was found.
bool ReadNameField(const unsigned char *field, size_t avail, WireChar (&out)[kNameUnits + 1], size_t *units);

// ---------------------------------------------------------------------------
// Control-channel and parameter messages

constexpr uint32_t kSolicitationSize = 36;
// The parameter solicitation, sent on the player channel.
void BuildSolicitation(unsigned char (&out)[kSolicitationSize], uint32_t psn);

struct SendParams
{
    uint32_t dwPolicy;
    uint32_t dwMaxBlockKB;
    uint32_t dwTargetRate;
    uint32_t dwChunking;
};
constexpr uint32_t kSendParamsSize = 60;
constexpr uint32_t kPolicyApply = 0x80000000u;
bool ReadSendParams(const void *msg, uint32_t n, SendParams *out);

constexpr size_t kOpenNameOffset = 32;
constexpr uint32_t kOpenRequestSize = 560;
struct OpenRequest
{
    WireChar filename[kNameUnits + 1];
    size_t units;
};
bool ReadOpenRequest(const void *msg, uint32_t n, OpenRequest *out);

constexpr uint32_t kOpenReplySize = 48;
void BuildOpenReply(void *msg, int32_t fileDesc, int32_t channel, int32_t extendedError, int32_t systemError);
struct OpenReply
{
    int32_t fileDesc;   // -1: refused
    int32_t channel;
    int32_t extendedError;
    int32_t systemError;
};
// False unless the n bytes are exactly an OPEN reply's size.
bool ReadOpenReply(const void *msg, uint32_t n, OpenReply *out);

// CLOS and FCLO: one word, the descriptor or the stream.
constexpr uint32_t kIntMessageSize = 36;
bool ReadCloseRequest(const void *msg, uint32_t n, uint32_t *handle);

// Reply of 36 bytes carrying one result word (SEND, CLOS, FCLO, SEEK, FSEK,
// FTEL, and data replies without data).
void BuildIntReply(void *msg, int32_t value, int32_t channel);

// ---------------------------------------------------------------------------
// Data-channel messages

struct ReadRequest { int32_t file_desc; uint32_t count; int32_t position; };
struct SeekRequest { int32_t file_desc; int32_t offset; int32_t origin; };
struct FdopenRequest { int32_t file_desc; };
struct FreadRequest { uint32_t stream; uint32_t size; uint32_t nmemb; };
struct FseekRequest { uint32_t stream; int32_t offset; int32_t origin; };
struct FtellRequest { uint32_t stream; };

constexpr uint32_t kReadRequestSize = 44;
constexpr uint32_t kSeekRequestSize = 44;
constexpr uint32_t kFdopenRequestSize = 36;
constexpr uint32_t kFreadRequestSize = 44;
constexpr uint32_t kFseekRequestSize = 44;
constexpr uint32_t kFtellRequestSize = 36;

bool ReadReadRequest(const void *msg, uint32_t n, ReadRequest *out);
bool ReadSeekRequest(const void *msg, uint32_t n, SeekRequest *out);
bool ReadFdopenRequest(const void *msg, uint32_t n, FdopenRequest *out);
bool ReadFreadRequest(const void *msg, uint32_t n, FreadRequest *out);
bool ReadFseekRequest(const void *msg, uint32_t n, FseekRequest *out);
bool ReadFtellRequest(const void *msg, uint32_t n, FtellRequest *out);

// READ and FRED replies: result word at 32, data from 36.
constexpr size_t kReplyDataOffset = 36;
void BuildDataReply(void *msg, int32_t returnValue, uint32_t dataBytes, int32_t channel);

constexpr uint32_t kFdopenReplySize = 44;
void BuildFdopenReply(void *msg, uint32_t stream, uint32_t error, int32_t channel);

// Request sizes are written back into the request by the size adaptation.
constexpr size_t kReadCountOffset = 36;
constexpr size_t kFreadNmembOffset = 40;

// ---------------------------------------------------------------------------
// The client's requests, as the client player builds them: the client
// emulator and the tests take them from here, so there is one way to build
// each. SEND and OPEN have their layouts above; every other request (CLOS,
// FCLO, READ, SEEK, FDOP, FRED, FSEK, FTEL) is a header and 32-bit words.

// A request of `type` carrying `words`, at least `size` bytes long (zeros
// after the words); the header declares every byte after it.
std::vector<unsigned char> BuildWordsRequest(uint32_t type, const std::vector<uint32_t> &words, uint32_t psn,
                                             int32_t channel = CHANNEL_CONTROL, uint32_t size = 0);
std::vector<unsigned char> BuildSendParams(uint32_t policy, uint32_t readCap, uint32_t targetRate, uint32_t chunking,
                                           uint32_t psn);
// OPEN of a name of UTF-16 units; at most 259 are sent, so the field always
// keeps its terminating NUL.
std::vector<unsigned char> BuildOpenRequest(const std::u16string &name, uint32_t psn);
// The same for a name in any string of 16-bit units (a Windows wide string).
template <class Name> std::vector<unsigned char> BuildOpenRequest(const Name &name, uint32_t psn)
{
    return BuildOpenRequest(std::u16string(name.begin(), name.end()), psn);
}
