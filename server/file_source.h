// A file source: the file a client opened, read through one uniform set of
// operations. The file object owns its source and destroys it; a source opens
// one name, once.
#pragma once

#include "wire.h"

#include <cstdint>

class CVirtualFileInterface
{
public:
    virtual ~CVirtualFileInterface() = default;

    // Virtual operations, in slot order.
    // name: zero-terminated UTF-16, as the client sent it.
    virtual bool Open(const WireChar *name) = 0;
    // Bytes read, 0 at end of file, -1 on error.
    virtual int Read(void *buffer, unsigned count) = 0;
    // origin 0 start, 1 current, 2 end. The new position from the start, or -1.
    virtual long Seek(long offset, int origin) = 0;
    virtual int Close() = 0;
    // The value that names the open file on the wire (file_desc).
    virtual uint32_t GetHandle() = 0;

protected:
    CVirtualFileInterface() = default;
    CVirtualFileInterface(const CVirtualFileInterface &) = delete;
    CVirtualFileInterface &operator=(const CVirtualFileInterface &) = delete;
};
