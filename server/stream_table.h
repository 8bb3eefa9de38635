// The buffered read-only streams that FDOP makes over a file's descriptor,
// named on the wire by a non-zero 32-bit id (never a pointer). One table for
// the process, guarded by a mutex.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// A stream in use: the FILE stays open while any holder keeps it, even when
// its entry is removed meanwhile.
using StreamRef = std::shared_ptr<std::FILE>;

// Opens a stream "rb" over a duplicate of fd, so that closing the stream never
// closes fd itself, and enters it in the table. Returns its id, or 0 with
// *error set (errno of the failed call).
uint32_t OpenStreamOverDescriptor(int fd, int *error);

// The stream of id, or null (id 0 and unknown ids find nothing).
StreamRef FindStream(uint32_t id);

// Removes id; the stream is closed once its last holder lets it go.
// Returns false when id was not in the table.
bool CloseStream(uint32_t id);

// Number of entries, for tests.
size_t StreamCount();
