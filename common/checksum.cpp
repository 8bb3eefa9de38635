#include "checksum.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeTable()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t r = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x8005 : (r << 1));
        t[i] = r;
    }
    return t;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x8005);
static_assert(kTable[255] == 0x0202);

} // namespace

uint16_t Crc16Umts(const unsigned char *data, size_t size, uint16_t crc)
{
    for (size_t i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t NameChecksum(const WireChar *name, size_t units)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < units; ++i) {
        const unsigned char le[2] = {static_cast<unsigned char>(name[i] & 0xFF),
                                     static_cast<unsigned char>(name[i] >> 8)};
        crc = Crc16Umts(le, 2, crc);
    }
    return crc;
}
