// libFuzzer target for the client core: every input is a session's life as
// the client sees it, the server's bytes on any channel in any pieces, with
// the media player's reads, seeks and closes and the clock in between.
// Built by tools/fuzz.sh (--target client_core); the native test
// fuzz_client_core_replay runs it under replay_main.cpp.
//
// Input: 4 bytes of settings (layout, policy, chunking, read-ahead), then
// records of an op byte (action << 4 | channel index) and its operands:
//   0  bytes: 16-bit little-endian length, then that many bytes, fed in one piece
//   1  a boundary (a server write begins)
//   2  the clock moves on by a byte x 100 ms, then Tick
//   3  the media player: a byte saying what, a 16-bit offset (x 16) and count
// Channel index: 0 ... 11 the routes' channels (ICA: its one channel), 12 and
// more a channel of no session.
//
// What must hold beyond ASan and UBSan: every read, seek and open completes
// exactly once (by the end, once the clock has passed every deadline and the
// channels are gone), and a read's data is never more than was asked.
#include "client_core.h"
#include "replay_seeds.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace {

void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_client_core: %s\n", what);
        std::abort();
    }
}

class Harness final : CClientChannelOps, CClientClockOps, CClientLogOps, CMediaPlayerOps
{
public:
    Harness(ChannelLayout layout, const DeviceParams &params) : m_layout(layout), m_core(layout, params, *this, *this, *this, *this) {}

    void Run(const uint8_t *data, size_t size);

private:
    bool Write(int32_t route, const unsigned char *, size_t n) override
    {
        Check(CChannelDemux::ChannelOf(m_layout, route) != nullptr && n >= kHeaderSize, "a write to no route");
        return true;
    }
    uint64_t NowMs() override { return m_now; }
    void Line(const std::string &) override {}
    void Open(const std::shared_ptr<CFileSession> &session) override { m_session = session; }
    void Close() override { m_session.reset(); }
    void Play() override {}
    void Pause() override {}
    void Stop() override {}
    void SeekPercent(int p) override { Check(p >= 0 && p <= 100, "seek out of 0..100"); }
    void Volume(int v) override { Check(v >= 0 && v <= 100, "volume out of 0..100"); }
    void Mute(bool) override {}
    void FullScreen(bool) override {}
    void VideoRect(int32_t, int32_t, int32_t w, int32_t h) override { Check(w >= 0 && h >= 0, "negative video area"); }
    void Minimize() override {}
    void Activate(bool) override {}
    void Skip(int) override {}
    void Wind(int) override {}
    void Step() override {}
    void AudioOff() override {}

    const char *ChannelName(unsigned index) const
    {
        if (index >= kRouteCount)
            return "pyxzz";
        const int32_t route = index == 0 ? CHANNEL_CONTROL : index == 1 ? CHANNEL_PLAYER : static_cast<int32_t>(index) - 2;
        return CChannelDemux::ChannelOf(m_layout, route);
    }
    void MediaAction(uint8_t what, uint32_t offset, uint32_t count);
    void Expect() { m_waiting[++m_id] = 0; }
    std::function<void(const ReadResult &)> OnRead(uint32_t count);

    ChannelLayout m_layout;
    uint64_t m_now = 1000;
    CClientCore m_core;
    std::shared_ptr<CFileSession> m_session;
    uint64_t m_id = 0;
    std::map<uint64_t, int> m_waiting;   // completions per request
};

std::function<void(const ReadResult &)> Harness::OnRead(uint32_t count)
{
    Expect();
    const uint64_t id = m_id;
    return [this, id, count](const ReadResult &r) {
        Check(++m_waiting[id] == 1, "a read completed twice");
        Check(r.data.size() <= count, "a read gave more than asked");
        Check(r.status != ReadStatus::Ok || !r.data.empty() || count == 0, "an empty read that is not the end");
    };
}

void Harness::MediaAction(uint8_t what, uint32_t offset, uint32_t count)
{
    if (!m_session && what % 8 < 4)
        return;
    switch (what % 8) {
    case 0: m_session->Read(offset, count, OnRead(count)); break;
    case 1: m_session->Prefetch(offset, count); break;
    case 2: {
        Expect();
        const uint64_t id = m_id;
        m_session->Seek(static_cast<int32_t>(offset) - 1000, what % 3,
                        [this, id](bool, int32_t) { Check(++m_waiting[id] == 1, "a seek completed twice"); });
        break;
    }
    case 3: m_session->Close(); break;
    case 4: m_core.Player().OnPlaybackEnded(); break;
    case 5: {
        Expect();
        const uint64_t id = m_id;
        m_core.Device().Open(u"C:\\x.avi", [this, id](const std::shared_ptr<CFileSession> &s) {
            Check(++m_waiting[id] == 1, "an open completed twice");
            if (s->GetState() == CFileSession::State::Open)
                m_session = s;
        });
        break;
    }
    case 6: m_core.Disconnected(); break;
    default: m_core.Tick(); break;
    }
}

void Harness::Run(const uint8_t *data, size_t size)
{
    size_t at = 0;
    while (at < size) {
        const uint8_t op = data[at++];
        const unsigned channel = op & 15;
        switch (op >> 4) {
        case 1: m_core.MarkBoundary(ChannelName(channel)); break;
        case 2:
            if (at < size)
                m_now += 100u * data[at++];
            m_core.Tick();
            break;
        case 3:
            if (size - at >= 5) {
                MediaAction(data[at], 16u * (data[at + 1] | (data[at + 2] << 8)), data[at + 3] | (data[at + 4] << 8));
                at += 5;
            }
            break;
        default: {
            if (size - at < 2)
                return;
            size_t n = data[at] | (data[at + 1] << 8);
            at += 2;
            n = n < size - at ? n : size - at;
            // An exact copy: a read past the piece is a read past the heap block.
            const std::vector<unsigned char> piece(data + at, data + at + n);
            m_core.Receive(ChannelName(channel), piece.data(), piece.size());
            at += n;
            break;
        }
        }
    }
    // Every deadline passes: whatever still waits completes.
    m_now += 1000000;
    m_core.Tick();
    m_core.Disconnected();
    Check(m_core.Device().PendingCount() == 0, "requests left after the channels went");
    for (const auto &entry : m_waiting)
        Check(entry.second == 1, "a request never completed");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // tools/fuzz.sh takes its seeds from here: one way to build them.
    if (const char *folder = std::getenv("TARSEL_FUZZ_WRITE_SEEDS")) {
        const auto seeds = ReplaySeeds();
        for (size_t i = 0; i < seeds.size(); ++i) {
            const std::string path = std::string(folder) + "/seed" + std::to_string(i);
            std::FILE *f = std::fopen(path.c_str(), "wb");
            if (!f)
                std::abort();
            std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
            std::fclose(f);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    DeviceParams params;
    params.hasPolicy = data[0] & 2;
    params.policy = kPolicyApply | data[1];
    params.chunking = (data[0] >> 2) & 1;
    params.readAheadBlocks = data[2] % 16;
    params.timeoutMs = 1000 + 100u * data[3];
    Harness h(data[0] & 1 ? ChannelLayout::Ica : ChannelLayout::Rdp, params);
    h.Run(data + 4, size - 4);
    return 0;
}
