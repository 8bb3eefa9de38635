// The client device's messages as tests build them: a header and 32-bit words.
#pragma once

#include "protocol.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

// A message of `type` carrying `words`, at least `size` bytes (zeros after them).
inline std::vector<unsigned char> Words(uint32_t type, std::initializer_list<uint32_t> words, uint32_t psn,
                                        int32_t channel = CHANNEL_CONTROL, uint32_t size = 0)
{
    std::vector<unsigned char> m(std::max<size_t>(size, kHeaderSize + 4 * words.size()));
    StoreHeader(m.data(), MessageHeader{type, static_cast<uint32_t>(m.size()) - kHeaderSize, psn, channel, 0, 0, 0, 0});
    size_t at = kHeaderSize;
    for (uint32_t w : words) {
        StoreLE32(m.data() + at, w);
        at += 4;
    }
    return m;
}

// The first n bytes of m, declaring just those: complete, but short of fields.
inline std::vector<unsigned char> Shortened(std::vector<unsigned char> m, uint32_t n)
{
    m.resize(n);
    StoreLE32(m.data() + hdr::kDataSize, n - kHeaderSize);
    return m;
}

inline std::vector<unsigned char> SendParamsMessage(uint32_t policy, uint32_t chunking, uint32_t readCap = 0,
                                                    uint32_t rate = 0, uint32_t psn = 1)
{
    return Words(PYXMSG_SEND_PARAMS, {policy, 0, 0, 0, readCap, rate, chunking}, psn);
}

// OPEN of a name of UTF-16 units (any string of them).
template <class Name> std::vector<unsigned char> OpenMessage(const Name &name, uint32_t psn)
{
    auto m = Words(PYXMSG_RPC_OPEN, {}, psn, CHANNEL_CONTROL, kOpenRequestSize);
    for (size_t i = 0; i < name.size() && i < kNameUnits - 1; ++i)
        StoreLE16(m.data() + kOpenNameOffset + 2 * i, static_cast<uint16_t>(name[i]));
    return m;
}
