// A media player that only reads: each file handed to it is read from start
// to end through a CBlockingStream, as fast as the session gives it, on a
// thread of its own, and then ends as a played file does. The benchmarks
// measure the client's read path with it, without decoding.
#pragma once

#include "core_worker.h"
#include "player_core.h"

#include <functional>
#include <memory>
#include <thread>

class CBlockingStream;

class CDrainPlayer final : public CMediaPlayerOps
{
public:
    CDrainPlayer(CCoreTaskOps &core, CClientClockOps &clock, CClientLogOps &log, uint32_t blockBytes,
                 uint32_t aheadBlocks, std::function<void()> onEnded);
    ~CDrainPlayer();
    CDrainPlayer(const CDrainPlayer &) = delete;
    CDrainPlayer &operator=(const CDrainPlayer &) = delete;

    void Open(const std::shared_ptr<CFileSession> &session) override;
    void Close() override;
    void Play() override {}
    void Pause() override {}
    void Stop() override {}
    void SeekPercent(int) override {}
    void Volume(int) override {}
    void Mute(bool) override {}
    void FullScreen(bool) override {}
    void VideoRect(int32_t, int32_t, int32_t, int32_t) override {}
    void Minimize() override {}
    void Activate(bool) override {}
    void Skip(int) override {}
    void Wind(int) override {}
    void Step() override {}
    void AudioOff() override {}

private:
    CCoreTaskOps &m_core;
    CClientClockOps &m_clock;
    CClientLogOps &m_log;
    uint32_t m_blockBytes;
    uint32_t m_aheadBlocks;
    std::function<void()> m_onEnded;
    std::shared_ptr<CBlockingStream> m_stream;
    std::thread m_reader;
};
