#include "doctest.h"

#include "checksum.h"
#include "notify.h"
#include "player_msg.h"
#include "protocol.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(std::initializer_list<int> v)
{
    std::vector<unsigned char> b;
    for (int x : v)
        b.push_back(static_cast<unsigned char>(x));
    return b;
}

std::vector<unsigned char> Message(uint32_t code, uint32_t dataSize, size_t total)
{
    std::vector<unsigned char> m(total, 0);
    StoreLE32(m.data(), code);
    StoreLE32(m.data() + 4, dataSize);
    return m;
}

} // namespace

TEST_CASE("header fields sit at their wire offsets, little-endian")
{
    MessageHeader h{};
    h.dwMessageType = PYXMSG_SEND_PARAMS;
    h.dwMessageDataSize = 0x01020304;
    h.dwPSN = 0x7FFF;
    h.dwChannelNumber = -2;
    h.dwChunkIndex = 3;
    h.dwLastChunk = 1;
    h.dwReserved1 = 0xAABBCCDD;
    h.dwReserved2 = 0x11223344;
    unsigned char b[32];
    StoreHeader(b, h);
    const auto expect = Bytes({0x53, 0x45, 0x4E, 0x44, 0x04, 0x03, 0x02, 0x01, 0xFF, 0x7F, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF,
                               3, 0, 0, 0, 1, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 0x44, 0x33, 0x22, 0x11});
    CHECK(std::memcmp(b, expect.data(), 32) == 0);
    const MessageHeader r = LoadHeader(b);
    CHECK(r.dwChannelNumber == -2);
    CHECK(r.dwReserved1 == 0xAABBCCDD);
    unsigned char code[4];
    StoreLE32(code, PYXMSG_PLAYER_OPEN);
    CHECK(std::memcmp(code, "RUOF", 4) == 0);
}

TEST_CASE("receive size check")
{
    auto m = Message(PYXMSG_RPC_READ, 16, 64);
    CHECK_FALSE(IsCompleteMessage(m.data(), 31));
    CHECK_FALSE(IsCompleteMessage(m.data(), 40));
    CHECK(IsCompleteMessage(m.data(), 48));
    CHECK(IsCompleteMessage(m.data(), 60));
    StoreLE32(m.data() + 4, 0);
    CHECK(IsCompleteMessage(m.data(), 32));
    // 32 + size would wrap to a small number in 32 bits; it must still fail.
    StoreLE32(m.data() + 4, 0xFFFFFFF0u);
    CHECK_FALSE(IsCompleteMessage(m.data(), 64));
    StoreLE32(m.data() + 4, 0xFFFFFFFFu);
    CHECK_FALSE(IsCompleteMessage(m.data(), 0xFFFFFFFFu));
}

TEST_CASE("a reply is built in place and keeps code, PSN and reserved words")
{
    auto m = Message(PYXMSG_RPC_SEEK, 12, 48);
    StoreLE32(m.data() + 8, 0x1234);
    StoreLE32s(m.data() + 12, 7);
    StoreLE32(m.data() + 16, 5);
    StoreLE32(m.data() + 20, 1);
    StoreLE32(m.data() + 24, 0xCAFEBABE);
    StoreLE32(m.data() + 28, 0xDEADBEEF);
    BuildIntReply(m.data(), -1, 3);
    const MessageHeader h = LoadHeader(m.data());
    CHECK(h.dwMessageType == PYXMSG_RPC_SEEK);
    CHECK(h.dwMessageDataSize == 4);
    CHECK(h.dwPSN == 0x1234);
    CHECK(h.dwChannelNumber == 3);
    CHECK(h.dwChunkIndex == 0);
    CHECK(h.dwLastChunk == 0);
    CHECK(h.dwReserved1 == 0xCAFEBABE);
    CHECK(h.dwReserved2 == 0xDEADBEEF);
    CHECK(LoadLE32s(m.data() + 32) == -1);

    BuildOpenReply(m.data(), 5, 2, int32_t(0x80000001u), 2);
    CHECK(MessageDataSize(m.data()) == 16);
    CHECK(MessageChannel(m.data()) == -1);
    CHECK(LoadLE32(m.data() + 40) == 0x80000001u);
    OpenReply r{};
    REQUIRE(ReadOpenReply(m.data(), kOpenReplySize, &r));
    CHECK((r.fileDesc == 5 && r.channel == 2 && r.extendedError == int32_t(0x80000001u) && r.systemError == 2));
    CHECK_FALSE(ReadOpenReply(m.data(), kOpenReplySize - 1, &r));
}

TEST_CASE("solicitation and the channel names")
{
    unsigned char s[kSolicitationSize];
    std::memset(s, 0xAA, sizeof s);
    BuildSolicitation(s, 0x1234);
    const auto expect = Bytes({'S', 'E', 'N', 'D', 4, 0, 0, 0, 0x34, 0x12, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF});
    CHECK(std::memcmp(s, expect.data(), 16) == 0);
    for (int i = 16; i < 36; ++i)
        CHECK(s[i] == 0);

    char name[8];
    REQUIRE(RdpDataChannelName(0, name, sizeof name));
    CHECK(std::string(name) == "pyx00");
    REQUIRE(RdpDataChannelName(9, name, sizeof name));
    CHECK(std::string(name) == "pyx09");
    CHECK_FALSE(RdpDataChannelName(10, name, sizeof name));
    CHECK_FALSE(RdpDataChannelName(-1, name, sizeof name));
    CHECK_FALSE(RdpDataChannelName(1, name, 5));
}

TEST_CASE("readers never look past the bytes received")
{
    // Every request in a buffer exactly as long as it needs, then one byte
    // short: the short one must be refused (ASan sees any overrun).
    struct Case { uint32_t need; bool (*read)(const void *, uint32_t); };
    const Case cases[] = {
        {kSendParamsSize, [](const void *m, uint32_t n) { SendParams p; return ReadSendParams(m, n, &p); }},
        {kIntMessageSize, [](const void *m, uint32_t n) { uint32_t h; return ReadCloseRequest(m, n, &h); }},
        {kReadRequestSize, [](const void *m, uint32_t n) { ReadRequest r; return ReadReadRequest(m, n, &r); }},
        {kSeekRequestSize, [](const void *m, uint32_t n) { SeekRequest r; return ReadSeekRequest(m, n, &r); }},
        {kFdopenRequestSize, [](const void *m, uint32_t n) { FdopenRequest r; return ReadFdopenRequest(m, n, &r); }},
        {kFreadRequestSize, [](const void *m, uint32_t n) { FreadRequest r; return ReadFreadRequest(m, n, &r); }},
        {kFseekRequestSize, [](const void *m, uint32_t n) { FseekRequest r; return ReadFseekRequest(m, n, &r); }},
        {kFtellRequestSize, [](const void *m, uint32_t n) { FtellRequest r; return ReadFtellRequest(m, n, &r); }},
        {kPlayerControlSize, [](const void *m, uint32_t n) { PlayerControl c; return ReadControlMessage(m, n, &c); }},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> exact(c.need, 0);
        CHECK(c.read(exact.data(), c.need));
        std::vector<unsigned char> shorter(c.need - 1, 0);
        CHECK_FALSE(c.read(shorter.data(), c.need - 1));
    }

    auto m = Message(PYXMSG_RPC_READ, 12, 44);
    StoreLE32s(m.data() + 32, 7);
    StoreLE32(m.data() + 36, 100000);
    StoreLE32s(m.data() + 40, -1);
    ReadRequest r{};
    REQUIRE(ReadReadRequest(m.data(), 44, &r));
    CHECK(r.file_desc == 7);
    CHECK(r.count == 100000);
    CHECK(r.position == -1);

    auto p = Message(PYXMSG_SEND_PARAMS, 28, 60);
    StoreLE32(p.data() + 32, 0x80000003u);
    StoreLE32(p.data() + 48, 64);
    StoreLE32(p.data() + 52, 500);
    StoreLE32(p.data() + 56, 0);
    SendParams sp{};
    REQUIRE(ReadSendParams(p.data(), 60, &sp));
    CHECK(sp.dwPolicy == 0x80000003u);
    CHECK(sp.dwMaxBlockKB == 64);
    CHECK(sp.dwTargetRate == 500);
    CHECK(sp.dwChunking == 0);
}

TEST_CASE("open request names")
{
    SUBCASE("a terminated name")
    {
        auto m = Message(PYXMSG_RPC_OPEN, 528, kOpenRequestSize);
        const char16_t name[] = u"C:\\media\\a\u00e9.avi";
        for (size_t i = 0; name[i]; ++i)
            StoreLE16(m.data() + 32 + 2 * i, name[i]);
        OpenRequest o{};
        REQUIRE(ReadOpenRequest(m.data(), kOpenRequestSize, &o));
        CHECK(o.units == 15);
        CHECK(std::u16string(o.filename) == name);
    }
    SUBCASE("260 units without a NUL are taken whole and terminated by the reader")
    {
        auto m = Message(PYXMSG_RPC_OPEN, 528, kOpenRequestSize);
        for (size_t i = 0; i < kNameUnits; ++i)
            StoreLE16(m.data() + 32 + 2 * i, 'x');
        StoreLE32(m.data() + 552, 0x00410041); // what follows the field is not part of the name
        OpenRequest o{};
        REQUIRE(ReadOpenRequest(m.data(), kOpenRequestSize, &o));
        CHECK(o.units == kNameUnits);
        CHECK(o.filename[kNameUnits] == 0);
    }
    SUBCASE("a name cut off by the end of the message is refused")
    {
        std::vector<unsigned char> m(32 + 10, 'y');
        StoreLE32(m.data() + 4, 10);
        OpenRequest o{};
        CHECK_FALSE(ReadOpenRequest(m.data(), uint32_t(m.size()), &o));
        CHECK_FALSE(ReadOpenRequest(m.data(), 20, &o));
        // A short message whose name is terminated inside it is fine.
        StoreLE16(m.data() + 32, 'a');
        StoreLE16(m.data() + 34, 0);
        REQUIRE(ReadOpenRequest(m.data(), uint32_t(m.size()), &o));
        CHECK(o.units == 1);
    }
}

TEST_CASE("data replies")
{
    std::vector<unsigned char> m(64, 0xEE);
    BuildDataReply(m.data(), 20, 20, 4);
    CHECK(MessageDataSize(m.data()) == 24);
    CHECK(MessageChannel(m.data()) == 4);
    CHECK(LoadLE32s(m.data() + 32) == 20);
    BuildFdopenReply(m.data(), 0, 5, 4);
    CHECK(MessageDataSize(m.data()) == 12);
    CHECK(LoadLE32(m.data() + 32) == 0);
    CHECK(LoadLE32(m.data() + 36) == 0);
    CHECK(LoadLE32(m.data() + 40) == 5);
}

TEST_CASE("file-name checksum is CRC-16/UMTS")
{
    const char *check = "123456789";
    CHECK(Crc16Umts(reinterpret_cast<const unsigned char *>(check), 9) == 0xFEE8);
    CHECK(NameChecksum(u"abc", 3) == 0x9A72);
    CHECK(NameChecksum(u"", 0) == 0);
    // Above U+007F both bytes of a unit count, the high one unsigned.
    const char16_t name[] = u"\u00e9\u4e2d\uffff";
    const unsigned char le[] = {0xE9, 0x00, 0x2D, 0x4E, 0xFF, 0xFF};
    CHECK(NameChecksum(name, 3) == Crc16Umts(le, sizeof le));
    CHECK(NameChecksum(name, 3) != NameChecksum(u"\u00e9\u4e2d\u00ff", 3));
}

TEST_CASE("notification wParam")
{
    CHECK(MakeNotifyWParam(NOTIFY_SEEK, 2, 0x9A72) == 0x9A720202u);
    CHECK(MakeNotifyWParam(NOTIFY_SEEK, 0x1FF, 1) == 0x0001FF02u);
    CHECK(NotifyCodeOf(0x9A720305u) == 5);
    CHECK(NotifyOriginOf(0x9A720305u) == 3);
    CHECK(NotifyChecksumOf(0x9A720305u) == 0x9A72);
}

TEST_CASE("player messages")
{
    unsigned char c[kPlayerControlSize];
    REQUIRE(ComposeControlMessage(c, 77, {PLAYER_CMD_SIZE, 0, 0, 640, -480}) == 52);
    const auto cont = Bytes({0x43, 0x4F, 0x4E, 0x54, 0x14, 0, 0, 0, 77, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF});
    CHECK(std::memcmp(c, cont.data(), 16) == 0);
    for (int i = 16; i < 32; ++i)
        CHECK(c[i] == 0);
    CHECK(LoadLE32(c + 32) == 0x00050000u);
    CHECK(LoadLE32s(c + 44) == 640);
    CHECK(LoadLE32s(c + 48) == -480);

    unsigned char o[kPlayerOpenSize];
    std::u16string name(259, u'n');
    REQUIRE(ComposeOpenMessage(o, 1, name.data(), name.size()) == 560);
    const auto ruof = Bytes({0x52, 0x55, 0x4F, 0x46, 0x10, 0x02, 0, 0});
    CHECK(std::memcmp(o, ruof.data(), 8) == 0);
    CHECK(LoadLE32s(o + 12) == -2);
    CHECK(LoadLE16(o + 32 + 2 * 258) == u'n');
    CHECK(LoadLE16(o + 32 + 2 * 259) == 0);

    name.assign(300, u'm');
    ComposeOpenMessage(o, 1, name.data(), name.size());
    CHECK(LoadLE16(o + 32 + 2 * 259) == u'm');   // 260 units: no terminator
    CHECK(LoadLE32(o + 552) == 0);
    CHECK(LoadLE32(o + 556) == 0);
    OpenRequest back{};
    REQUIRE(ReadOpenMessage(o, kPlayerOpenSize, &back));
    CHECK(back.units == 260);
}

TEST_CASE("the client's requests read back as the server reads them; an OPEN name keeps its terminating NUL")
{
    SendParams p{};
    const auto send = BuildSendParams(kPolicyApply | 5, 64, 500, 1, 7);
    REQUIRE(ReadSendParams(send.data(), static_cast<uint32_t>(send.size()), &p));
    CHECK(p.dwPolicy == (kPolicyApply | 5));
    CHECK(p.dwMaxBlockKB == 64);
    CHECK(p.dwTargetRate == 500);
    CHECK(p.dwChunking == 1);
    CHECK(LoadHeader(send.data()).dwPSN == 7);

    OpenRequest o{};
    const auto open = BuildOpenRequest(std::u16string(300, u'n'), 8);
    REQUIRE(open.size() == kOpenRequestSize);
    REQUIRE(ReadOpenRequest(open.data(), kOpenRequestSize, &o));
    CHECK(o.units == kNameUnits - 1);

    ReadRequest r{};
    const auto read = BuildWordsRequest(PYXMSG_RPC_READ, {3, 4096, 0xFFFFFFFFu}, 9, 2);
    REQUIRE(read.size() == kReadRequestSize);
    REQUIRE(ReadReadRequest(read.data(), kReadRequestSize, &r));
    CHECK(r.file_desc == 3);
    CHECK(r.count == 4096);
    CHECK(r.position == -1);
    CHECK(MessageChannel(read.data()) == 2);
    CHECK(BuildWordsRequest(PYXMSG_RPC_OPEN, {}, 1, CHANNEL_CONTROL, kOpenRequestSize).size() == kOpenRequestSize);
}
