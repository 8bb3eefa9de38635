// A file source: the file a client opened, read through one uniform set of
// operations. The file object owns its source and destroys it; a source opens
// one name, once. Portable: which sources a platform has is chosen when the
// program is linked (MakeUrlSource).
#pragma once

#include "wire.h"

#include <cstdint>
#include <memory>

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
    // The error of the last open, read or seek that failed, 0 while none
    // did, as the OPEN reply carries it: errno for a local file, the
    // Internet library's error for a URL.
    virtual uint32_t LastError() const = 0;

protected:
    CVirtualFileInterface() = default;
    CVirtualFileInterface(const CVirtualFileInterface &) = delete;
    CVirtualFileInterface &operator=(const CVirtualFileInterface &) = delete;
};

// A name with "://": a URL.
bool IsUrlName(const WireChar *name);

// The source for a name (null without memory): a URL (a name with "://") is
// the platform's URL source, any other name a local file. Nothing is opened.
std::unique_ptr<CVirtualFileInterface> MakeFileSource(const WireChar *name);

// The platform's part: the source of a URL. On Windows the Internet file
// (internet_file_win.cpp); elsewhere there is no Internet library and a URL is
// tried as a local file like any other name (url_source_none.cpp).
std::unique_ptr<CVirtualFileInterface> MakeUrlSource();
