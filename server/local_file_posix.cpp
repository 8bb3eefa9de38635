// The local file source's platform calls natively (POSIX).
#include "local_file_io.h"

#include "utf8.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// As on Windows, what is not a file on disk (a FIFO, a device, a socket) is
// refused; without blocking, as opening a FIFO would wait for a writer.
int OpenReadOnly(const WireChar *name, bool *notDisk)
{
    const int fd = open(Utf8Of(name, LoneSurrogate::Keep).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *notDisk = true;
        errno = ENOENT;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
int ReadFd(int fd, void *buffer, unsigned count)
{
    // The result is an int, as on Windows.
    const ssize_t r = read(fd, buffer, count > INT_MAX ? INT_MAX : count);
    return static_cast<int>(r);
}
long SeekFd(int fd, long offset, int origin)
{
    const off_t r = lseek(fd, offset, origin);
    // Positions travel as signed 32 bits; one beyond that is no answer, and
    // an invalid one, as the Windows C library's _lseek tells it.
    if (r > INT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<long>(r);
}
int CloseFd(int fd) { return close(fd); }
int DupFd(int fd) { return dup(fd); }
FILE *FdOpen(int fd) { return fdopen(fd, "rb"); }
