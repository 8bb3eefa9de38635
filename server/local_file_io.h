// The platform's calls under the local file source: the open of a name as
// a read-only disk file, and reads, seeks and closes of its descriptor,
// with the C library's errno. local_file_win.cpp and local_file_posix.cpp.
#pragma once

#include "wire.h"

#include <cstdio>

// The descriptor of `name` opened read-only, or -1 with errno set; a name
// that opens as something else than a file on disk sets *notDisk.
int OpenReadOnly(const WireChar *name, bool *notDisk);
int ReadFd(int fd, void *buffer, unsigned count);
long SeekFd(int fd, long offset, int origin);
int CloseFd(int fd);
// A second descriptor of fd, a stream over it ("rb"), and its close, for
// the stream requests.
int DupFd(int fd);
FILE *FdOpen(int fd);
