// A file of the server's own file system, read through the C library's
// descriptor functions. Every open, seek, read and close is announced to the
// desktop (notification codes 0, 2, 5, 3, 4), tagged with the name's checksum.
#pragma once

#include "file_source.h"

#include <cstdint>

class CLocalFileInterface : public virtual CVirtualFileInterface
{
public:
    CLocalFileInterface() = default;
    ~CLocalFileInterface() override;

    bool Open(const WireChar *name) override;
    int Read(void *buffer, unsigned count) override;
    long Seek(long offset, int origin) override;
    int Close() override;
    uint32_t GetHandle() override { return static_cast<uint32_t>(m_dwFileDescriptor); }
    // errno of the last failed open, read or seek.
    uint32_t LastError() const override { return static_cast<uint32_t>(m_nLastErrno); }

    // The descriptor, -1 when closed; what a stream over the file is made from.
    int Descriptor() const { return m_dwFileDescriptor; }
    uint16_t NameCrc() const { return m_wNameCrc; }

private:
    int m_dwFileDescriptor = -1;
    uint16_t m_wNameCrc = 0;
    int m_nLastErrno = 0;
};
