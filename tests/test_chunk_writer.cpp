#include "doctest.h"

#include "channel_io.h"
#include "protocol.h"
#include "write_gate.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records every platform write; can be told to deliver fewer bytes or fail.
class RecordingChannel final : public virtual CChannelIO
{
public:
    explicit RecordingChannel(uint32_t limit) { m_dwChunkLimit = limit; }

    struct Write { std::vector<unsigned char> bytes; };
    std::vector<Write> writes;
    int shortWriteAt = -1;    // index of the write that delivers less
    uint32_t shortBy = 0;
    int failAt = -1;

    bool ChannelRead(void *, uint32_t, uint32_t *read) override { *read = 0; return false; }
    bool OpenChannel(void *, uint32_t, const char *, uintptr_t) override { return true; }
    int CloseChannel() override { return 0; }
    bool WriteRaw(const void *buffer, uint32_t length, uint32_t *written) override
    {
        const int index = static_cast<int>(writes.size());
        const auto *b = static_cast<const unsigned char *>(buffer);
        writes.push_back({std::vector<unsigned char>(b, b + length)});
        if (index == failAt) { *written = 0; return false; }
        *written = index == shortWriteAt ? length - shortBy : length;
        return true;
    }
};

std::vector<unsigned char> MakeMessage(uint32_t length)
{
    std::vector<unsigned char> m(length);
    for (uint32_t i = 0; i < length; ++i)
        m[i] = static_cast<unsigned char>(i * 7 + 3);
    MessageHeader h{};
    h.dwMessageType = PYXMSG_RPC_READ;
    h.dwMessageDataSize = length - 32;
    h.dwPSN = 99;
    h.dwChannelNumber = 2;
    h.dwReserved1 = 0x51;
    h.dwReserved2 = 0x52;
    StoreHeader(m.data(), h);
    return m;
}

// Joins the chunks by dwChunkIndex as a client would and checks every header.
std::vector<unsigned char> Reassemble(const std::vector<RecordingChannel::Write> &writes, uint32_t limit)
{
    std::vector<unsigned char> out(writes.at(0).bytes.begin(), writes.at(0).bytes.begin() + 32);
    for (size_t i = 0; i < writes.size(); ++i) {
        const auto &w = writes[i].bytes;
        REQUIRE(w.size() <= limit);
        const MessageHeader h = LoadHeader(w.data());
        CHECK(h.dwChunkIndex == i + 1);
        CHECK(h.dwLastChunk == (i + 1 == writes.size() ? 1u : 0u));
        CHECK(h.dwMessageDataSize == w.size() - 32);
        CHECK(h.dwPSN == 99);
        CHECK(h.dwReserved2 == 0x52);
        out.insert(out.end(), w.begin() + 32, w.end());
    }
    return out;
}

void CheckChunked(uint32_t limit, uint32_t length, size_t expectedWrites)
{
    CAPTURE(limit);
    CAPTURE(length);
    RecordingChannel ch(limit);
    auto msg = MakeMessage(length);
    const auto original = msg;
    uint32_t written = 0;
    REQUIRE(ch.WriteMessage(msg.data(), length, &written));
    CHECK(written == length);
    REQUIRE(ch.writes.size() == expectedWrites);
    auto joined = Reassemble(ch.writes, limit);
    REQUIRE(joined.size() == original.size());
    CHECK(std::equal(joined.begin() + 32, joined.end(), original.begin() + 32));
}

} // namespace

TEST_CASE("messages shorter than the chunk limit go out whole and untouched")
{
    for (uint32_t limit : {kRdpChunkLimit, kIcaChunkLimit}) {
        RecordingChannel ch(limit);
        auto msg = MakeMessage(limit - 1);
        const auto original = msg;
        uint32_t written = 0;
        REQUIRE(ch.ChannelWrite(msg.data(), limit - 1, &written));
        CHECK(written == limit - 1);
        REQUIRE(ch.writes.size() == 1);
        CHECK(ch.writes[0].bytes == original);
    }
}

TEST_CASE("a message exactly one chunk limit long is one flagged chunk")
{
    RecordingChannel ch(kRdpChunkLimit);
    auto msg = MakeMessage(1600);
    uint32_t written = 0;
    REQUIRE(ch.ChannelWrite(msg.data(), 1600, &written));
    REQUIRE(ch.writes.size() == 1);
    const MessageHeader h = LoadHeader(ch.writes[0].bytes.data());
    CHECK(h.dwChunkIndex == 1);
    CHECK(h.dwLastChunk == 1);
    CHECK(h.dwMessageDataSize == 1568);
    CHECK(written == 1600);
}

TEST_CASE("chunk counts and slices on both limits")
{
    CheckChunked(kRdpChunkLimit, 3000, 2);
    CheckChunked(kRdpChunkLimit, 5000, 4);
    CheckChunked(kIcaChunkLimit, 3000, 2);
    CheckChunked(kIcaChunkLimit, 5000, 3);
    CheckChunked(kRdpChunkLimit, 131072, 84);
    CheckChunked(kIcaChunkLimit, 131072, 66);

    RecordingChannel ch(kIcaChunkLimit);
    auto msg = MakeMessage(5000);
    uint32_t written = 0;
    REQUIRE(ch.ChannelWrite(msg.data(), 5000, &written));
    REQUIRE(ch.writes.size() == 3);
    CHECK(ch.writes[0].bytes.size() == 2044);
    CHECK(ch.writes[1].bytes.size() == 2044);
    CHECK(ch.writes[2].bytes.size() == 976);

    RecordingChannel rdp(kRdpChunkLimit);
    auto m3 = MakeMessage(3000);
    REQUIRE(rdp.ChannelWrite(m3.data(), 3000, &written));
    CHECK(rdp.writes[0].bytes.size() == 1600);
    CHECK(rdp.writes[1].bytes.size() == 1432);
}

TEST_CASE("chunking off writes any length whole")
{
    RecordingChannel ch(kRdpChunkLimit);
    ch.SetChunking(0);
    auto msg = MakeMessage(100000);
    const auto original = msg;
    uint32_t written = 0;
    REQUIRE(ch.ChannelWrite(msg.data(), 100000, &written));
    CHECK(written == 100000);
    REQUIRE(ch.writes.size() == 1);
    CHECK(ch.writes[0].bytes == original);
    CHECK(ch.Chunking() == 0);
}

TEST_CASE("a short or failed chunk ends the loop")
{
    SUBCASE("short second chunk")
    {
        RecordingChannel ch(kRdpChunkLimit);
        ch.shortWriteAt = 1;
        ch.shortBy = 100;
        auto msg = MakeMessage(5000);
        uint32_t written = 0;
        CHECK(ch.ChannelWrite(msg.data(), 5000, &written));   // that write's own result
        CHECK(ch.writes.size() == 2);
        CHECK(written == 32 + 1568 + 1468);
    }
    SUBCASE("failed second chunk")
    {
        RecordingChannel ch(kRdpChunkLimit);
        ch.failAt = 1;
        auto msg = MakeMessage(5000);
        uint32_t written = 0;
        CHECK_FALSE(ch.ChannelWrite(msg.data(), 5000, &written));
        CHECK(ch.writes.size() == 2);
        CHECK(written == 32 + 1568);
    }
    SUBCASE("a write that delivers less than a header counts nothing")
    {
        RecordingChannel ch(kRdpChunkLimit);
        ch.shortWriteAt = 0;
        ch.shortBy = 1590;
        auto msg = MakeMessage(5000);
        uint32_t written = 0;
        CHECK(ch.ChannelWrite(msg.data(), 5000, &written));
        CHECK(ch.writes.size() == 1);
        CHECK(written == 32);
    }
}

namespace {

void WaitUntilWaiting(CWriteGate &gate, int count)
{
    while (gate.Waiting() < count)
        std::this_thread::yield();
}

} // namespace

TEST_CASE("a control message waiting for the shared channel goes before the files' replies that waited longer")
{
    CWriteGate gate;
    std::mutex orderLock;
    std::vector<char> order;
    const auto writer = [&](CWriteGate::Turn turn, char name) {
        return std::thread([&, turn, name] {
            CWriteGate::CHold hold(gate, turn);
            std::lock_guard<std::mutex> record(orderLock);
            order.push_back(name);
        });
    };
    std::vector<std::thread> threads;
    gate.Enter(CWriteGate::Turn::InTurn);   // a reply being written
    for (char name : {'a', 'b', 'c'})
        threads.push_back(writer(CWriteGate::Turn::InTurn, name));
    WaitUntilWaiting(gate, 3);
    threads.push_back(writer(CWriteGate::Turn::Urgent, 'U'));
    WaitUntilWaiting(gate, 4);
    gate.Leave();
    for (auto &t : threads)
        t.join();
    REQUIRE(order.size() == 4);
    CHECK(order[0] == 'U');
    CHECK(gate.Waiting() == 0);
}

TEST_CASE("the write gate lets one writer at a time through and leaves none waiting on a free gate")
{
    CWriteGate gate;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                // Every third writer of a round is urgent, as control replies
                // among files' replies.
                CWriteGate::CHold hold(gate, (t + i) % 3 == 0 ? CWriteGate::Turn::Urgent : CWriteGate::Turn::InTurn);
                if (inside.fetch_add(1) != 0)
                    ++overlaps;
                ++passed;
                inside.fetch_sub(1);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    CHECK(overlaps == 0);
    CHECK(passed == 6 * 2000);
    CHECK(gate.Waiting() == 0);
}
