// Little-endian field access for wire messages. Every multi-byte field is
// loaded and stored byte by byte, so no misaligned access and no host
// byte-order assumption reaches the protocol code.
#pragma once

#include <cstddef>
#include <cstdint>

// UTF-16 code unit of names on the wire (wchar_t is 32 bits on Linux).
using WireChar = char16_t;

inline uint32_t LoadLE32(const void *p)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

inline int32_t LoadLE32s(const void *p) { return static_cast<int32_t>(LoadLE32(p)); }

inline void StoreLE32(void *p, uint32_t v)
{
    unsigned char *b = static_cast<unsigned char *>(p);
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

inline void StoreLE32s(void *p, int32_t v) { StoreLE32(p, static_cast<uint32_t>(v)); }

inline uint16_t LoadLE16(const void *p)
{
    const unsigned char *b = static_cast<const unsigned char *>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline void StoreLE16(void *p, uint16_t v)
{
    unsigned char *b = static_cast<unsigned char *>(p);
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
}
