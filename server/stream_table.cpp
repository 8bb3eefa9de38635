#include "stream_table.h"

#include "local_file_io.h"

#include <cerrno>
#include <map>
#include <mutex>


namespace {

struct StreamTable
{
    std::mutex lock;
    std::map<uint32_t, StreamRef> entries;
    uint32_t dwNextId = 1;
};

StreamTable &Table()
{
    static StreamTable s_table;
    return s_table;
}

void CloseFile(std::FILE *f)
{
    if (f)
        std::fclose(f);
}

} // namespace

uint32_t OpenStreamOverDescriptor(int fd, int *error)
{
    *error = 0;
    if (fd < 0) {
        *error = EBADF;
        return 0;
    }
    const int dupFd = DupFd(fd);
    if (dupFd < 0) {
        *error = errno ? errno : EBADF;
        return 0;
    }
    std::FILE *f = FdOpen(dupFd);
    if (!f) {
        *error = errno ? errno : EINVAL;
        CloseFd(dupFd);
        return 0;
    }
    StreamRef ref(f, CloseFile);

    StreamTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    // Next free non-zero id; the table never holds anything near 2^32 entries.
    while (t.dwNextId == 0 || t.entries.count(t.dwNextId))
        ++t.dwNextId;
    const uint32_t id = t.dwNextId++;
    t.entries.emplace(id, std::move(ref));
    return id;
}

StreamRef FindStream(uint32_t id)
{
    if (id == 0)
        return nullptr;
    StreamTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    const auto it = t.entries.find(id);
    return it == t.entries.end() ? nullptr : it->second;
}

bool CloseStream(uint32_t id)
{
    StreamRef released;   // closed after the lock is given back
    StreamTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    const auto it = t.entries.find(id);
    if (it == t.entries.end())
        return false;
    released = std::move(it->second);
    t.entries.erase(it);
    return true;
}

size_t StreamCount()
{
    StreamTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.entries.size();
}
