// The client's media chain as the add-in runs it, without FreeRDP: the core
// on its worker, libmpv (no picture, no sound device) reading through the
// blocking stream, and a server in memory that answers every request on
// the worker, as replies come in from the channel.
#include "doctest.h"

#include "client_core.h"
#include "core_worker.h"
#include "mpv_player.h"
#include "player_msg.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Log final : CClientLogOps, CClientClockOps
{
    std::mutex lock;
    std::condition_variable added;
    std::vector<std::string> lines;

    void Line(const std::string &text) override
    {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(text);
        added.notify_all();
    }
    uint64_t NowMs() override
    {
        return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count());
    }
    // Waits at most 20 s for the count-th line containing part.
    bool WaitFor(const std::string &part, long count = 1)
    {
        std::unique_lock<std::mutex> hold(lock);
        return added.wait_for(hold, std::chrono::seconds(20), [&] {
            return std::count_if(lines.begin(), lines.end(), [&](auto &l) { return l.find(part) != std::string::npos; }) >= count;
        });
    }
};

// A server holding one file in memory; it answers on the worker, after the
// task that sent the request.
struct MemoryServer final : CClientChannelOps
{
    Bytes file;
    CCoreWorker &worker;
    CClientCore *core = nullptr;
    uint32_t reads = 0, closes = 0, badReads = 0;

    MemoryServer(Bytes f, CCoreWorker &w) : file(std::move(f)), worker(w) {}

    bool Write(int32_t route, const unsigned char *b, size_t n) override
    {
        Bytes request(b, b + n);
        worker.Post([this, route, request] { Answer(route, request); });
        return true;
    }

    void Answer(int32_t route, const Bytes &q)
    {
        const uint32_t type = MessageType(q.data());
        Bytes reply;
        int32_t channel = CHANNEL_CONTROL;
        if (type == PYXMSG_SEND_PARAMS) {
            return;
        } else if (type == PYXMSG_RPC_OPEN) {
            reply.assign(q.begin(), q.begin() + kOpenReplySize);
            BuildOpenReply(reply.data(), 7, 3, 0, 0);
        } else if (type == PYXMSG_RPC_SEEK) {
            SeekRequest s{};
            REQUIRE(ReadSeekRequest(q.data(), uint32_t(q.size()), &s));
            reply.assign(q.begin(), q.begin() + kIntMessageSize);
            BuildIntReply(reply.data(), s.origin == 2 ? int32_t(file.size()) + s.offset : s.offset, route);
            channel = route;
        } else if (type == PYXMSG_RPC_READ) {
            ReadRequest r{};
            REQUIRE(ReadReadRequest(q.data(), uint32_t(q.size()), &r));
            ++reads;
            if (r.file_desc != 7 || r.position < 0 || route != 3)
                ++badReads;
            const size_t from = std::min(file.size(), size_t(std::max(r.position, 0)));
            const size_t count = std::min<size_t>(r.count, file.size() - from);
            reply.assign(kReplyDataOffset + count, 0);
            std::copy(q.begin(), q.begin() + kHeaderSize, reply.begin());
            std::copy(file.begin() + long(from), file.begin() + long(from + count), reply.begin() + kReplyDataOffset);
            BuildDataReply(reply.data(), int32_t(count), uint32_t(count), route);
            channel = route;
        } else if (type == PYXMSG_RPC_CLOSE) {
            ++closes;
            reply.assign(q.begin(), q.begin() + kIntMessageSize);
            BuildIntReply(reply.data(), 0, CHANNEL_CONTROL);
        } else {
            return;
        }
        core->Receive(CChannelDemux::ChannelOf(ChannelLayout::Rdp, channel), reply.data(), reply.size());
    }
};

Bytes Clip()
{
    // Two seconds of picture and sound, made once per run.
    const std::string path = "client_media_clip.mp4";
    if (!std::ifstream(path))
        REQUIRE(std::system(("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                             "sine=frequency=440 -t 2 -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac " + path)
                                .c_str()) == 0);
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Chain
{
    Log log;
    CCoreWorker worker{[this] { if (core) core->Tick(); }, 200};
    MemoryServer server;
    std::unique_ptr<CMpvPlayer> player;
    std::unique_ptr<CClientCore> core;

    explicit Chain(Bytes file) : server(std::move(file), worker)
    {
        MpvPlayerOptions o;
        o.vo = "null";
        o.ao = "null";
        o.blockBytes = 64 * 1024;
        player = std::make_unique<CMpvPlayer>(worker, log, log, nullptr, o, [this] { core->Player().OnPlaybackEnded(); });
        core = std::make_unique<CClientCore>(ChannelLayout::Rdp, DeviceParams{}, server, log, log, *player);
        server.core = core.get();
        worker.Start();
    }
    ~Chain()
    {
        worker.Stop([this] { core->Disconnected(); core.reset(); player.reset(); });
    }
    void Send(const Bytes &m)
    {
        worker.Post([this, m] { core->Receive("pyxan", m.data(), m.size()); });
    }
    void Command(uint32_t command, int32_t p1 = 0)
    {
        unsigned char m[kPlayerControlSize];
        ComposeControlMessage(m, 1, {command, p1, 0, 0, 0});
        Send(Bytes(m, m + sizeof m));
    }
    void Ruof(const std::u16string &name)
    {
        unsigned char m[kPlayerOpenSize];
        ComposeOpenMessage(m, 1, name.data(), name.size());
        Send(Bytes(m, m + sizeof m));
    }
    uint32_t Closes()
    {
        uint32_t n = 0;
        for (int i = 0; i < 100 && (n = server.closes) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return n;
    }
};

} // namespace

TEST_CASE("media: a clip plays through positioned reads to its end, obeying the player's commands, then CLOS")
{
    Chain c(Clip());
    c.Ruof(u"C:\\clips\\clip.mp4");
    REQUIRE(c.log.WaitFor("first frame"));
    c.Command(PLAYER_CMD_PAUSE);
    CHECK(c.log.WaitFor("mpv: pause=yes"));
    c.Command(PLAYER_CMD_VOLUME, 40);
    CHECK(c.log.WaitFor("mpv: volume=40"));
    c.Command(PLAYER_CMD_MUTE);
    CHECK(c.log.WaitFor("mpv: mute=yes"));
    c.Command(PLAYER_CMD_SEEK, 50);
    // At the frame asked for, not the key frame before it (one a second).
    CHECK(c.log.WaitFor("after the seek to 50 %"));
    c.Command(PLAYER_CMD_PLAY);

    CHECK(c.log.WaitFor("played C:\\clips\\clip.mp4 to its end"));
    CHECK(c.Closes() == 1);
    CHECK(c.server.reads > 0);
    CHECK(c.server.badReads == 0);

    // A player resuming after a reconnect: the file, then its position at
    // once, before libmpv has opened it; closed where it stands.
    c.Ruof(u"C:\\clips\\again.mp4");
    c.Command(PLAYER_CMD_PAUSE);
    c.Command(PLAYER_CMD_SEEK, 50);
    CHECK(c.log.WaitFor("after the seek to 50 %", 2));
    c.Command(PLAYER_CMD_KILL_PLAYER);
    CHECK(c.log.WaitFor("closed C:\\clips\\again.mp4 at 5"));
}

TEST_CASE("media: a file libmpv cannot play ends its session with CLOS and a log line")
{
    Chain c(Bytes(300000, 0x17));
    c.Ruof(u"not-a-video.bin");
    CHECK(c.log.WaitFor("libmpv cannot play not-a-video.bin"));
    CHECK(c.Closes() == 1);
}
