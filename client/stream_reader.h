// A file session read as a blocking stream, for a media player that reads
// on a thread of its own (libmpv's stream callbacks). Every call into the
// session runs on the core's thread; the reading thread waits for the
// result. Reads are positioned, so a seek costs nothing until the next
// read; each block fetched asks for the next few ahead, so that playback
// does not wait a round trip per block.
#pragma once

#include "core_worker.h"
#include "device_core.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CBlockingStream
{
public:
    // blockBytes: the size of a READ after an open or a jump, growing up to
    // maxBlockBytes while the reader waits for its blocks; aheadBlocks: how
    // many are asked for beyond the one being read.
    CBlockingStream(std::shared_ptr<CFileSession> session, CCoreTaskOps &core, CClientLogOps &log,
                    uint32_t blockBytes, uint32_t aheadBlocks, uint32_t maxBlockBytes);
    CBlockingStream(const CBlockingStream &) = delete;
    CBlockingStream &operator=(const CBlockingStream &) = delete;

    // The file's size (a SEEK to its end); false when the session cannot
    // give it (ended, refused, cancelled).
    bool Open();
    // Bytes copied to buffer, 0 at the end of the file, -1 on failure or
    // after Cancel.
    int64_t Read(void *buffer, uint64_t n);
    // The new position, -1 for one the wire cannot carry.
    int64_t Seek(int64_t position);
    int64_t Size() const { return m_size; }
    // Any thread: a waiting Read or Open returns at once, and every later one fails.
    void Cancel();
    bool Cancelled() const;

    uint64_t BytesRead() const { return m_bytesRead; }
    const std::shared_ptr<CFileSession> &Session() const { return m_session; }

    struct Waiter;
    struct Sync;

private:
    // Posts the task and waits for its result; false if cancelled or the
    // core is gone.
    bool Await(const std::shared_ptr<Waiter> &waiter, std::function<void()> task);
    bool Fetch(uint64_t offset);

    std::shared_ptr<CFileSession> m_session;
    CCoreTaskOps &m_core;
    CClientLogOps &m_log;
    uint32_t m_blockBytes;
    uint32_t m_aheadBlocks;
    uint32_t m_maxBlockBytes;
    uint32_t m_block;                      // the next READ's size
    int64_t m_size = -1;
    uint64_t m_position = 0;
    uint64_t m_bufferOffset = 0;
    std::vector<unsigned char> m_buffer;   // the last block fetched
    uint64_t m_bytesRead = 0;

    // The wait's lock and signal, shared with the requests in flight: a
    // request may complete after a cancelled stream is gone.
    std::shared_ptr<Sync> m_sync;
};
