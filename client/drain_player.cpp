#include "drain_player.h"

#include "stream_reader.h"
#include "utf8.h"

#include <vector>

CDrainPlayer::CDrainPlayer(CCoreTaskOps &core, CClientClockOps &clock, CClientLogOps &log, uint32_t blockBytes,
                           uint32_t aheadBlocks, std::function<void()> onEnded)
    : m_core(core), m_clock(clock), m_log(log), m_blockBytes(blockBytes), m_aheadBlocks(aheadBlocks),
      m_onEnded(std::move(onEnded))
{
}

CDrainPlayer::~CDrainPlayer() { Close(); }

void CDrainPlayer::Open(const std::shared_ptr<CFileSession> &session)
{
    Close();
    m_stream = std::make_shared<CBlockingStream>(session, m_core, m_log, m_blockBytes, m_aheadBlocks);
    const std::string name = Utf8Of(session->Name(), LoneSurrogate::Replace);
    m_reader = std::thread([this, stream = m_stream, name] {
        const uint64_t start = m_clock.NowMs();
        std::vector<unsigned char> buffer(m_blockBytes);
        int64_t n = 0;
        const bool opened = stream->Open();
        while (opened && (n = stream->Read(buffer.data(), buffer.size())) > 0) {
        }
        if (stream->Cancelled())
            return;
        const uint64_t ms = m_clock.NowMs() - start;
        const double bytes = double(stream->BytesRead());
        LogLine(m_log, "client: drained %.0f bytes of %s in %llu ms, %.1f MB/s%s", bytes, name.c_str(),
                static_cast<unsigned long long>(ms), ms ? bytes / 1000.0 / double(ms) : 0.0,
                opened && n == 0 ? "" : " (failed)");
        // Ends as a played file does, on the core's thread.
        m_core.Post([this] { m_onEnded(); });
    });
}

void CDrainPlayer::Close()
{
    if (m_stream)
        m_stream->Cancel();
    if (m_reader.joinable())
        m_reader.join();
    m_stream.reset();
}
