// The relay's wire between the Windows programs' pipes (vcrelay under Wine)
// and the native channel host: TCP on 127.0.0.1, one connection per pipe
// instance, each a sequence of frames
//
//   [u32 little-endian length][length bytes]
//
// The first frame of a connection names it: a channel name (one pipe
// instance of it), or kSessionLink for the session's control connection,
// over which the host sends kDisconnect / kReconnect and the relay answers
// kDisconnected / kReconnected once it has done so. After the name, one
// frame is one pipe message either way. Portable: both halves include it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vcframe {

constexpr size_t kLengthSize = 4;
// Far above any message of the programs; a longer frame means the other
// end is broken, and the connection ends.
constexpr uint32_t kMaxFrame = 1u << 20;

constexpr char kSessionLink[] = "*session";
constexpr char kDisconnect[] = "disconnect";
constexpr char kReconnect[] = "reconnect";
constexpr char kDisconnected[] = "disconnected";
constexpr char kReconnected[] = "reconnected";

inline void StoreLength(unsigned char *out, uint32_t n)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(n >> (8 * i));
}

inline uint32_t LoadLength(const unsigned char *in)
{
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

enum class ReadResult { kFrame, kClosed, kTooLong };

// Reads one frame through readExact(void *, size_t) -> bool, which fills the
// whole buffer or fails. A length over kMaxFrame is reported with *length
// set and nothing more read.
template <class ReadExact>
ReadResult ReadFrame(ReadExact &&readExact, std::vector<unsigned char> *out, uint32_t *length)
{
    unsigned char prefix[kLengthSize];
    if (!readExact(prefix, sizeof prefix))
        return ReadResult::kClosed;
    *length = LoadLength(prefix);
    if (*length > kMaxFrame)
        return ReadResult::kTooLong;
    out->resize(*length);
    if (*length && !readExact(out->data(), *length))
        return ReadResult::kClosed;
    return ReadResult::kFrame;
}

// The prefix and the bytes, ready for one send.
inline std::vector<unsigned char> MakeFrame(const void *data, size_t n)
{
    std::vector<unsigned char> frame(kLengthSize + n);
    StoreLength(frame.data(), static_cast<uint32_t>(n));
    if (n)
        std::copy(static_cast<const unsigned char *>(data), static_cast<const unsigned char *>(data) + n, frame.data() + kLengthSize);
    return frame;
}

inline std::vector<unsigned char> MakeFrame(const std::string &text) { return MakeFrame(text.data(), text.size()); }

// A name frame's channel: 1 to 7 printable characters, or the session link.
inline bool IsLinkName(const std::string &name)
{
    if (name == kSessionLink)
        return true;
    if (name.empty() || name.size() > 7)
        return false;
    for (char c : name) {
        if (c <= 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

} // namespace vcframe
