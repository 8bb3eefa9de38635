// The client core against a scripted server: the server's side of each
// exchange is built with the server's own builders and chunking writer, and
// fed to the core in pieces as a remote-desktop stack delivers it.
#include "doctest.h"

#include "channel_io.h"
#include "addin_options.h"
#include "client_core.h"
#include "video_placement.h"
#include "player_msg.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Fakes final : CClientChannelOps, CClientClockOps, CClientLogOps, CMediaPlayerOps
{
    struct Sent { int32_t route; Bytes bytes; };
    std::vector<Sent> sent;
    std::vector<std::string> lines, media;
    uint64_t now = 1000;
    std::shared_ptr<CFileSession> opened;

    bool Write(int32_t route, const unsigned char *b, size_t n) override { sent.push_back({route, Bytes(b, b + n)}); return true; }
    uint64_t NowMs() override { return now; }
    void Line(const std::string &text) override { lines.push_back(text); }
    void Open(const std::shared_ptr<CFileSession> &s) override { opened = s; media.push_back("Open"); }
    void Close() override { media.push_back("Close"); }
    void Play() override { media.push_back("Play"); }
    void Pause() override { media.push_back("Pause"); }
    void Stop() override { media.push_back("Stop"); }
    void SeekPercent(int p) override { media.push_back("Seek " + std::to_string(p)); }
    void Volume(int v) override { media.push_back("Volume " + std::to_string(v)); }
    void Mute(bool m) override { media.push_back(m ? "Mute" : "Unmute"); }
    void FullScreen(bool on) override { media.push_back(on ? "Full on" : "Full off"); }
    void VideoRect(int32_t x, int32_t y, int32_t w, int32_t h) override
    {
        media.push_back("Rect " + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," + std::to_string(h));
    }
    void Minimize() override { media.push_back("Minimize"); }
    void Activate(bool a) override { media.push_back(a ? "Active" : "Inactive"); }
    void Skip(int d) override { media.push_back("Skip " + std::to_string(d)); }
    void Wind(int d) override { media.push_back("Wind " + std::to_string(d)); }
    void Step() override { media.push_back("Step"); }
    void AudioOff() override { media.push_back("AudioOff"); }

    bool Logged(const char *part) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(part) != std::string::npos; });
    }
};

// The server's chunking writer, writing into one byte stream.
struct ChunkingWriter final : virtual CChannelIO
{
    Bytes stream;
    explicit ChunkingWriter(uint32_t limit) { m_dwChunkLimit = limit; }
    bool ChannelRead(void *, uint32_t, uint32_t *) override { return false; }
    bool OpenChannel(void *, uint32_t, const char *, uintptr_t) override { return true; }
    int CloseChannel() override { return 0; }
    bool WriteRaw(const void *b, uint32_t n, uint32_t *written) override
    {
        stream.insert(stream.end(), static_cast<const unsigned char *>(b), static_cast<const unsigned char *>(b) + n);
        *written = n;
        return true;
    }
};

Bytes Chunked(Bytes m, uint32_t limit)
{
    ChunkingWriter w(limit);
    uint32_t written = 0;
    w.WriteMessage(m.data(), static_cast<uint32_t>(m.size()), &written);
    return w.stream;
}

Bytes Solicitation()
{
    unsigned char m[kSolicitationSize];
    BuildSolicitation(m, 5);
    return Bytes(m, m + sizeof m);
}

Bytes Control(uint32_t command, int32_t p1 = 0, int32_t p2 = 0, int32_t p3 = 0, int32_t p4 = 0)
{
    unsigned char m[kPlayerControlSize];
    ComposeControlMessage(m, 7, {command, p1, p2, p3, p4});
    return Bytes(m, m + sizeof m);
}

Bytes Ruof(const std::u16string &name)
{
    unsigned char m[kPlayerOpenSize];
    ComposeOpenMessage(m, 7, name.data(), name.size());
    return Bytes(m, m + sizeof m);
}

// The server's replies, built over the request as the server builds them.
Bytes OpenReplyTo(const Bytes &request, int32_t fd, int32_t channel)
{
    Bytes m(request.begin(), request.begin() + kOpenReplySize);
    BuildOpenReply(m.data(), fd, channel, fd == -1 ? 5 : 0, fd == -1 ? 2 : 0);
    return m;
}

Bytes IntReply(const Bytes &request, int32_t value, int32_t channel)
{
    Bytes m(request.begin(), request.begin() + kIntMessageSize);
    BuildIntReply(m.data(), value, channel);
    return m;
}

Bytes DataReply(const Bytes &request, uint32_t count, int32_t channel, unsigned char fill = 0x5A)
{
    Bytes m(kReplyDataOffset + count, fill);
    std::copy(request.begin(), request.begin() + kHeaderSize, m.begin());
    BuildDataReply(m.data(), static_cast<int32_t>(count), count, channel);
    return m;
}

struct Session
{
    Fakes f;
    CClientCore core;
    explicit Session(ChannelLayout layout = ChannelLayout::Rdp, DeviceParams params = {})
        : core(layout, params, f, f, f, f) {}

    void Feed(int32_t route, const Bytes &m) { core.Receive(CChannelDemux::ChannelOf(ChannelLayout::Rdp, route), m.data(), m.size()); }
    const Fakes::Sent &Last() const { return f.sent.back(); }
    // RUOF of name answered with descriptor fd on data channel `channel`.
    std::shared_ptr<CFileSession> Open(const std::u16string &name, int32_t fd, int32_t channel)
    {
        Feed(CHANNEL_PLAYER, Ruof(name));
        REQUIRE(MessageType(Last().bytes.data()) == PYXMSG_RPC_OPEN);
        Feed(CHANNEL_CONTROL, OpenReplyTo(Last().bytes, fd, channel));
        return core.Player().Session();
    }
};

} // namespace

TEST_CASE("framing: messages split at every point, merged, chunked, on both layouts")
{
    Fakes f;
    std::vector<std::pair<int32_t, Bytes>> got;
    const auto sink = [&](int32_t route, const unsigned char *m, size_t n, uint32_t) { got.push_back({route, Bytes(m, m + n)}); };
    Bytes big = BuildWordsRequest(PYXMSG_RPC_READ, {1, 2, 3}, 9, 3, 5000);
    const Bytes control = Control(PLAYER_CMD_PAUSE), send = Solicitation();
    Bytes stream = control;
    stream.insert(stream.end(), send.begin(), send.end());
    const Bytes chunks = Chunked(big, kRdpChunkLimit);
    stream.insert(stream.end(), chunks.begin(), chunks.end());
    for (size_t split = 0; split <= stream.size(); split += (split < 200 ? 1 : 97)) {
        CAPTURE(split);
        got.clear();
        CChannelDemux demux(ChannelLayout::Rdp, f, sink);
        demux.Receive("pyxan", stream.data(), split);
        demux.Receive("pyxan", stream.data() + split, stream.size() - split);
        REQUIRE(got.size() == 3);
        CHECK((got[0].second == control && got[1].second == send && got[2].second == big));
        CHECK(demux.Errors() == 0);
    }
    // ICA: one channel, routed by the header; chunks of two routes interleave.
    Bytes other = BuildWordsRequest(PYXMSG_RPC_READ, {4}, 10, CHANNEL_CONTROL, 3000);
    const Bytes a = Chunked(big, kIcaChunkLimit), b = Chunked(other, kIcaChunkLimit);
    Bytes ica(a.begin(), a.begin() + kIcaChunkLimit);
    ica.insert(ica.end(), b.begin(), b.end());
    ica.insert(ica.end(), a.begin() + kIcaChunkLimit, a.end());
    ica.insert(ica.end(), control.begin(), control.end());
    got.clear();
    CChannelDemux demux(ChannelLayout::Ica, f, sink);
    for (unsigned char byte : ica)
        demux.Receive(kIcaChannelName, &byte, 1);
    REQUIRE(got.size() == 3);
    CHECK((got[0].first == CHANNEL_CONTROL && got[0].second == other));
    CHECK((got[1].first == 3 && got[1].second == big));
    CHECK(got[2].first == CHANNEL_PLAYER);
}

TEST_CASE("framing: a lying header drops its stream until a boundary; unknown channels and routes are logged")
{
    Fakes f;
    int delivered = 0;
    CChannelDemux demux(ChannelLayout::Rdp, f, [&](int32_t, const unsigned char *, size_t, uint32_t) { ++delivered; });
    Bytes lying = Control(PLAYER_CMD_PLAY);
    StoreLE32(lying.data() + hdr::kDataSize, kMaxMessageSize);
    lying.insert(lying.end(), lying.begin(), lying.end());
    const Bytes good = Control(PLAYER_CMD_PLAY);
    demux.Receive("pyxan", lying.data(), lying.size());
    demux.Receive("pyxan", good.data(), good.size());
    CHECK(delivered == 0);
    CHECK(f.Logged("stream dropped"));
    demux.MarkBoundary("pyxan");
    demux.Receive("pyxan", good.data(), 40);   // then cut short by the next write
    demux.MarkBoundary("pyxan");
    CHECK(f.Logged("cut short"));
    demux.Receive("pyxan", good.data(), good.size());
    CHECK(delivered == 1);
    demux.Receive("pyx10", good.data(), good.size());
    CChannelDemux ica(ChannelLayout::Ica, f, [&](int32_t, const unsigned char *, size_t, uint32_t) { ++delivered; });
    const Bytes nowhere = BuildWordsRequest(PYXMSG_RPC_READ, {1}, 1, 10);
    ica.Receive(kIcaChannelName, nowhere.data(), nowhere.size());
    CHECK(delivered == 1);
    CHECK(f.Logged("not the session's"));
    CHECK(f.Logged("channel number 10"));
}

TEST_CASE("device: a scripted session through the player route")
{
    DeviceParams params;
    params.readCap = 64;
    params.targetRate = 300;
    params.chunking = 1;
    Session s(ChannelLayout::Rdp, params);
    s.Feed(CHANNEL_PLAYER, Solicitation());
    const Bytes send = s.Last().bytes;
    CHECK(s.Last().route == CHANNEL_CONTROL);
    SendParams sp{};
    REQUIRE(ReadSendParams(send.data(), static_cast<uint32_t>(send.size()), &sp));
    CHECK((sp.dwPolicy == 0 && sp.dwMaxBlockKB == 64 && sp.dwTargetRate == 300 && sp.dwChunking == 1));
    s.Feed(CHANNEL_CONTROL, IntReply(send, 0, CHANNEL_CONTROL));
    CHECK(s.core.Device().ParametersAccepted());

    const auto file = s.Open(u"C:\\media\\a.avi", 3, 2);
    REQUIRE(bool(file));
    CHECK(file->GetState() == CFileSession::State::Open);
    CHECK(s.f.opened.get() == file.get());
    std::vector<ReadResult> results;
    const auto keep = [&](const ReadResult &r) { results.push_back(r); };
    // One request on its way per file: the second read waits for the
    // first's reply (a server may drop a request that comes while the
    // file's worker is in one), and a read ahead waits behind it.
    file->Prefetch(9000, 10);
    const Bytes ahead = s.Last().bytes;
    file->Read(0, 100, keep);
    file->Read(100, 5000, keep);
    CHECK(MessageType(s.Last().bytes.data()) == PYXMSG_RPC_READ);
    CHECK(s.Last().bytes == ahead);
    s.Feed(2, DataReply(ahead, 10, 2));
    const Bytes first = s.Last().bytes;
    CHECK(first != ahead);
    // A stray PSN, then the reply; the next read goes only then, its reply chunked.
    Bytes stray = DataReply(first, 10, 2);
    StoreLE32(stray.data() + hdr::kPSN, 4242);
    s.Feed(2, stray);
    CHECK(s.Last().bytes == first);
    s.Feed(2, DataReply(first, 100, 2, 0x11));
    const Bytes second = s.Last().bytes;
    CHECK(s.Last().route == 2);
    s.Feed(2, Chunked(DataReply(second, 5000, 2, 0x22), kRdpChunkLimit));
    CHECK(s.f.Logged("answers no request"));
    REQUIRE(results.size() == 2);
    CHECK((results[0].offset == 0 && results[0].data == Bytes(100, 0x11)));
    CHECK((results[1].offset == 100 && results[1].data == Bytes(5000, 0x22)));

    bool seekOk = false;
    int32_t position = 0;
    file->Seek(0, 2, [&](bool ok, int32_t p) { seekOk = ok; position = p; });
    s.Feed(2, IntReply(s.Last().bytes, 777, 2));
    CHECK((seekOk && position == 777));

    // Read-ahead: the read asked for later is served from the block.
    file->Prefetch(5100, 200);
    s.Feed(2, DataReply(s.Last().bytes, 200, 2, 0x33));
    const size_t sentBefore = s.f.sent.size();
    file->Read(5100, 50, keep);
    file->Read(5150, 150, keep);
    CHECK(s.f.sent.size() == sentBefore);
    CHECK((results.at(2).data == Bytes(50, 0x33) && results.at(3).data == Bytes(150, 0x33)));
    CHECK(s.core.Device().ProtocolErrors() == 0);
}

TEST_CASE("device: a time-out ends its file only; lying replies end theirs")
{
    Session s;
    CClientDevice &d = s.core.Device();
    std::shared_ptr<CFileSession> a, b;
    a = d.Open(u"a", [](const std::shared_ptr<CFileSession> &) {});
    s.Feed(CHANNEL_CONTROL, OpenReplyTo(s.Last().bytes, 3, 0));
    b = d.Open(u"b", [](const std::shared_ptr<CFileSession> &) {});
    s.Feed(CHANNEL_CONTROL, OpenReplyTo(s.Last().bytes, 4, 1));
    ReadResult ra, rb;
    a->Read(0, 10, [&](const ReadResult &r) { ra = r; });
    const Bytes readA = s.Last().bytes;
    s.f.now += 15000;
    b->Read(0, 10, [&](const ReadResult &r) { rb = r; });
    s.f.now += 6000;   // a's deadline passed, not b's
    d.Tick();
    CHECK(ra.status == ReadStatus::TimedOut);
    CHECK(a->GetState() == CFileSession::State::Ended);
    CHECK(s.f.Logged("no reply to READ"));
    CHECK((MessageType(s.Last().bytes.data()) == PYXMSG_RPC_CLOSE && LoadLE32(s.Last().bytes.data() + 32) == 3));
    CHECK(b->GetState() == CFileSession::State::Open);
    s.Feed(0, DataReply(readA, 10, 0));   // late: dropped quietly
    CHECK(d.StrayReplies() == 0);

    // Replies that lie: a count past the one asked, a size past the count,
    // a negative count. Each ends its file with a log line.
    const auto lie = [&](int32_t fd, int32_t channel, auto spoil) {
        auto f = d.Open(u"x", [](const std::shared_ptr<CFileSession> &) {});
        s.Feed(CHANNEL_CONTROL, OpenReplyTo(s.Last().bytes, fd, channel));
        ReadResult r;
        f->Read(0, 10, [&](const ReadResult &got) { r = got; });
        Bytes reply = DataReply(s.Last().bytes, 10, channel);
        spoil(reply);
        s.Feed(channel, reply);
        CHECK(r.status == ReadStatus::Closed);
        CHECK(f->GetState() == CFileSession::State::Ended);
    };
    lie(5, 2, [](Bytes &m) { StoreLE32(m.data() + 32, 11); });
    lie(6, 3, [](Bytes &m) { m.push_back(0); StoreLE32(m.data() + hdr::kDataSize, 15); });
    lie(7, 4, [](Bytes &m) { StoreLE32s(m.data() + 32, -7); });
    CHECK(d.ProtocolErrors() == 3);
    // An OPEN reply naming no data channel: the descriptor is closed again.
    auto c = d.Open(u"c", [](const std::shared_ptr<CFileSession> &) {});
    s.Feed(CHANNEL_CONTROL, OpenReplyTo(s.Last().bytes, 9, 12));
    CHECK(c->GetState() == CFileSession::State::Ended);
    CHECK((MessageType(s.Last().bytes.data()) == PYXMSG_RPC_CLOSE && LoadLE32(s.Last().bytes.data() + 32) == 9));
}

TEST_CASE("player: RUOF, every command, a second RUOF, KILL_PLAYER and the end of the file")
{
    Session s(ChannelLayout::Ica);
    const auto feed = [&](const Bytes &m) { s.core.Receive(kIcaChannelName, m.data(), m.size()); };
    const auto sentOpen = [&] { return MessageType(s.Last().bytes.data()) == PYXMSG_RPC_OPEN; };
    feed(Ruof(u"C:\\one.avi"));
    REQUIRE(sentOpen());
    feed(OpenReplyTo(s.Last().bytes, 3, 0));
    const auto first = s.f.opened;
    REQUIRE(bool(first));
    s.f.media.clear();
    const std::vector<std::pair<uint32_t, std::string>> commands = {
        {PLAYER_CMD_PLAY, "Play"}, {PLAYER_CMD_PAUSE, "Pause"}, {PLAYER_CMD_STOP, "Stop"},
        {PLAYER_CMD_SKIP_BACK, "Skip -1"}, {PLAYER_CMD_REWIND, "Wind -1"}, {PLAYER_CMD_FAST_FORWARD, "Wind 1"},
        {PLAYER_CMD_SKIP_FORWARD, "Skip 1"}, {PLAYER_CMD_STEP, "Step"}, {PLAYER_CMD_FULL_SCREEN, "Full on"},
        {PLAYER_CMD_FULL_SCREEN, "Full off"}, {PLAYER_CMD_AUDIO_OFF, "AudioOff"}, {PLAYER_CMD_MOVE, "Rect 40,2,0,0"},
        {PLAYER_CMD_SIZE, "Rect 40,2,3,4"}, {PLAYER_CMD_MINIMIZE, "Minimize"}, {PLAYER_CMD_VOLUME, "Volume 40"},
        {PLAYER_CMD_MUTE, "Mute"}, {PLAYER_CMD_SEEK, "Seek 40"}, {PLAYER_CMD_ACTIVATE, "Active"}};
    for (const auto &c : commands) {
        CAPTURE(c.second);
        feed(Control(c.first, c.first == PLAYER_CMD_ACTIVATE ? 1 : 40, 2, 3, 4));
        REQUIRE(!s.f.media.empty());
        CHECK(s.f.media.back() == c.second);
    }
    CHECK(s.f.media.size() == commands.size());
#define TABLE_CODE(NAME, ...) PLAYER_CMD_##NAME,
    for (uint32_t code : {PLAYER_COMMAND_TABLE(TABLE_CODE, PLAYER_TABLE_SKIP, TABLE_CODE, PLAYER_TABLE_SKIP)})
        CHECK((code == PLAYER_CMD_CLOSE || code == PLAYER_CMD_KILL_PLAYER || std::any_of(commands.begin(), commands.end(), [&](const auto &c) { return c.first == code; })));
#undef TABLE_CODE
    // A second RUOF: the first file is closed with CLOS, the second opened.
    // CLOSE, KILL_PLAYER and the end of the play close the file too.
    const auto closed = [&](uint32_t fd) {
        return std::any_of(s.f.sent.begin(), s.f.sent.end(), [&](const Fakes::Sent &m) {
            return MessageType(m.bytes.data()) == PYXMSG_RPC_CLOSE && LoadLE32(m.bytes.data() + 32) == fd;
        });
    };
    const auto open = [&](const std::u16string &name, int32_t fd) {
        feed(Ruof(name));
        REQUIRE(sentOpen());
        feed(OpenReplyTo(s.Last().bytes, fd, fd % 10));
        CHECK(s.f.opened->Name() == name);
    };
    open(u"C:\\two.avi", 4);
    CHECK((closed(3) && !closed(4) && first->GetState() == CFileSession::State::Ended));
    feed(Control(PLAYER_CMD_CLOSE));
    CHECK((closed(4) && s.f.media.back() == "Close"));
    open(u"C:\\three.avi", 5);
    feed(Control(PLAYER_CMD_KILL_PLAYER));
    CHECK((closed(5) && s.f.media.back() == "Close"));
    // A resuming player sends the position and pause right after the file:
    // held until the file is open, then given in that order.
    feed(Ruof(u"C:\\five.avi"));
    feed(Control(PLAYER_CMD_SEEK, 30));
    feed(Control(PLAYER_CMD_PAUSE));
    feed(Control(PLAYER_CMD_SEEK, 60));
    CHECK(s.f.media.back() == "Close");
    feed(OpenReplyTo(s.Last().bytes, 7, 7));
    CHECK((s.f.media.size() >= 3 && s.f.media.end()[-3] == "Open" && s.f.media.end()[-2] == "Pause" &&
           s.f.media.back() == "Seek 60"));
    open(u"C:\\four.avi", 6);
    s.core.Player().OnPlaybackEnded();
    CHECK((closed(6) && !bool(s.core.Player().Session())));
    // Malformed player messages are logged and not acted on.
    const size_t calls = s.f.media.size();
    Bytes wrong = Control(PLAYER_CMD_VOLUME, 101);
    feed(wrong);
    wrong = Control(0x00990000);
    feed(wrong);
    CHECK(s.f.media.size() == calls);
    CHECK(s.core.Player().BadMessages() == 2);
    CHECK(s.f.Logged("not acted on"));
}

TEST_CASE("video window: placed by MOVE and SIZE, scaled with the desktop, hidden when minimised or without a picture")
{
    CVideoPlacement p;
    p.Media(true, true);
    p.Move(100, 50);
    p.Size(640, 360);
    VideoWindowState s = p.State(1280, 1024, 1280, 1024);
    CHECK((s.visible && s.x == 100 && s.y == 50 && s.width == 640 && s.height == 360));
    // A client showing the desktop at half its size.
    s = p.State(1280, 1024, 640, 512);
    CHECK((s.visible && s.x == 50 && s.y == 25 && s.width == 320 && s.height == 180));
    p.Minimize();
    CHECK_FALSE(p.State(1280, 1024, 1280, 1024).visible);
    p.Move(-32000, -32000);   // where Windows keeps a minimised window
    p.Size(640, 360);         // the restore sends SIZE before MOVE
    CHECK_FALSE(p.State(1280, 1024, 1280, 1024).visible);
    p.Move(100, 50);
    CHECK(p.State(1280, 1024, 1280, 1024).visible);
    p.FullScreen(true);
    CHECK(p.State(1280, 1024, 1280, 1024).fullScreen);
    p.FullScreen(false);
    p.Media(true, false);   // sound only
    CHECK_FALSE(p.State(1280, 1024, 1280, 1024).visible);
    p.Media(false, true);
    CHECK_FALSE(p.State(1280, 1024, 1280, 1024).visible);
}

TEST_CASE("add-in options: each understood, a bad one reported and its default kept, reads within the cap")
{
    std::vector<std::string> errors;
    AddinOptions o = ParseAddinOptions({"log:/tmp/t.log", "ica", "readcap:64", "rate:2000", "policy:3", "vo:x11",
                                        "desktop:1280x1024", "block:256"},
                                       &errors);
    CHECK(errors.empty());
    CHECK((o.logFile == "/tmp/t.log" && o.ica && o.device.readCap == 64 && o.device.targetRate == 2000));
    CHECK((o.device.hasPolicy && o.device.policy == 3 && o.vo == "x11" && o.desktopWidth == 1280));
    CHECK(o.blockKB == 64);
    o = ParseAddinOptions({"readcap:-1", "readcap:99999999999", "rate:", "desktop:0x5", "bogus", "ica:1"}, &errors);
    CHECK(errors.size() == 6);
    CHECK((o.device.readCap == 0 && !o.ica && o.desktopWidth == 0));
}
