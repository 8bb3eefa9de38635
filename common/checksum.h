// CRC-16/UMTS (poly 0x8005, init 0, not reflected, no final XOR), the
// checksum that tags every file notification with its file's name.
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstdint>

uint16_t Crc16Umts(const unsigned char *data, size_t size, uint16_t crc = 0);

// Over the name's UTF-16LE bytes, 2 x units bytes, without the terminator.
uint16_t NameChecksum(const WireChar *name, size_t units);
