#include "stream_reader.h"

#include <algorithm>
#include <cstring>

struct CBlockingStream::Sync
{
    std::mutex lock;
    std::condition_variable changed;
    bool cancelled = false;
};

struct CBlockingStream::Waiter
{
    bool done = false;
    bool ready = false;   // the block was there already (read ahead in time)
    ReadResult read;
    bool seekOk = false;
    int32_t position = 0;
};

CBlockingStream::CBlockingStream(std::shared_ptr<CFileSession> session, CCoreTaskOps &core, CClientLogOps &log,
                                 uint32_t blockBytes, uint32_t aheadBlocks, uint32_t maxBlockBytes)
    : m_session(std::move(session)), m_core(core), m_log(log),
      m_blockBytes(std::max<uint32_t>(1, std::min(blockBytes, kMaxReplyDataBytes))), m_aheadBlocks(aheadBlocks),
      m_maxBlockBytes(std::max(m_blockBytes, std::min(maxBlockBytes, kMaxReplyDataBytes))), m_block(m_blockBytes),
      m_sync(std::make_shared<Sync>())
{
}

namespace {

// Completes a waiter under the shared lock.
template <class Fill>
void Complete(const std::shared_ptr<CBlockingStream::Sync> &sync, Fill fill)
{
    {
        std::lock_guard<std::mutex> hold(sync->lock);
        fill();
    }
    sync->changed.notify_all();
}

} // namespace

void CBlockingStream::Cancel()
{
    Complete(m_sync, [&] { m_sync->cancelled = true; });
}

bool CBlockingStream::Cancelled() const
{
    std::lock_guard<std::mutex> hold(m_sync->lock);
    return m_sync->cancelled;
}

bool CBlockingStream::Await(const std::shared_ptr<Waiter> &waiter, std::function<void()> task)
{
    if (Cancelled() || !m_core.Post(std::move(task)))
        return false;
    // The session completes every request it took: with its reply, its
    // time-out or the end of the session. Only a cancel ends the wait early.
    std::unique_lock<std::mutex> hold(m_sync->lock);
    m_sync->changed.wait(hold, [&] { return waiter->done || m_sync->cancelled; });
    return waiter->done && !m_sync->cancelled;
}

bool CBlockingStream::Open()
{
    auto waiter = std::make_shared<Waiter>();
    std::shared_ptr<CFileSession> session = m_session;
    auto done = [sync = m_sync, waiter](bool ok, int32_t position) {
        Complete(sync, [&] {
            waiter->seekOk = ok;
            waiter->position = position;
            waiter->done = true;
        });
    };
    if (!Await(waiter, [session, done] { session->Seek(0, 2, done); }) || !waiter->seekOk || waiter->position < 0)
        return false;
    m_size = waiter->position;
    return true;
}

int64_t CBlockingStream::Seek(int64_t position)
{
    if (position < 0 || position > INT32_MAX || Cancelled())
        return -1;
    m_position = static_cast<uint64_t>(position);
    return position;
}

bool CBlockingStream::Fetch(uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT32_MAX))
        return false;
    auto waiter = std::make_shared<Waiter>();
    std::shared_ptr<CFileSession> session = m_session;
    const uint32_t at = static_cast<uint32_t>(offset);
    // A reader that waits for its blocks gets larger ones, up to the
    // largest: a request costs a round trip beside its bytes. One whose
    // blocks come in time (a player at its media rate) keeps small ones, so
    // that the reads stay close to the picture; after a jump, the first
    // block is small again.
    if (offset != m_bufferOffset + m_buffer.size())
        m_block = m_blockBytes;
    const uint32_t block = m_block;
    uint32_t ahead = m_aheadBlocks;
    if (m_size >= 0) {
        // No read ahead past the end.
        const uint64_t left = static_cast<uint64_t>(m_size) > offset ? static_cast<uint64_t>(m_size) - offset : 0;
        ahead = static_cast<uint32_t>(std::min<uint64_t>(ahead, left / block));
    }
    auto done = [sync = m_sync, waiter](const ReadResult &r) {
        Complete(sync, [&] {
            waiter->read = r;
            waiter->done = true;
        });
    };
    const bool answered = Await(waiter, [sync = m_sync, waiter, session, at, block, ahead, done] {
        session->Read(at, block, done);
        Complete(sync, [&] { waiter->ready = waiter->done; });
        for (uint32_t i = 1; i <= ahead; ++i) {
            const uint64_t next = uint64_t(at) + uint64_t(i) * block;
            if (next > static_cast<uint64_t>(INT32_MAX))
                break;
            session->Prefetch(static_cast<uint32_t>(next), block);
        }
    });
    if (!answered)
        return false;
    m_block = waiter->ready ? std::max(m_blockBytes, m_block / 2) : std::min(m_maxBlockBytes, m_block * 2);
    m_bufferOffset = offset;
    m_buffer.clear();
    if (waiter->read.status == ReadStatus::End)
        return true;
    if (waiter->read.status != ReadStatus::Ok)
        return false;
    m_buffer = std::move(waiter->read.data);
    return true;
}

int64_t CBlockingStream::Read(void *buffer, uint64_t n)
{
    if (Cancelled())
        return -1;
    if (n == 0 || (m_size >= 0 && m_position >= static_cast<uint64_t>(m_size)))
        return 0;
    const bool inBuffer = m_position >= m_bufferOffset && m_position < m_bufferOffset + m_buffer.size();
    if (!inBuffer) {
        if (!Fetch(m_position)) {
            if (!Cancelled())
                LogLine(m_log, "client: a read at byte %llu failed: %s",
                        static_cast<unsigned long long>(m_position),
                        m_session->EndReason().empty() ? "the server could not read" : m_session->EndReason().c_str());
            return -1;
        }
        if (m_buffer.empty())
            return 0;   // the end of the file
    }
    const uint64_t from = m_position - m_bufferOffset;
    const uint64_t count = std::min<uint64_t>(n, m_buffer.size() - from);
    std::memcpy(buffer, m_buffer.data() + from, static_cast<size_t>(count));
    m_position += count;
    m_bytesRead += count;
    return static_cast<int64_t>(count);
}
