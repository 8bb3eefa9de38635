// Seeds of the client core's target: whole sessions on RDP and ICA as a
// server answers them (PSNs in the order the client hands them out), built
// with the protocol's own builders and the server's chunking writer.
#include "channel_io.h"
#include "player_msg.h"
#include "protocol.h"
#include "replay_seeds.h"

#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

class Chunker final : public virtual CChannelIO
{
public:
    Bytes out;
    Chunker() { m_dwChunkLimit = kRdpChunkLimit; }
    bool ChannelRead(void *, uint32_t, uint32_t *) override { return false; }
    bool OpenChannel(void *, uint32_t, const char *, uintptr_t) override { return true; }
    int CloseChannel() override { return 0; }
    bool WriteRaw(const void *b, uint32_t n, uint32_t *written) override
    {
        out.insert(out.end(), static_cast<const uint8_t *>(b), static_cast<const uint8_t *>(b) + n);
        *written = n;
        return true;
    }
};

struct Script
{
    Bytes b;
    // Bytes on the channel of index i (0 control, 1 player, 2 + n data n), in two pieces.
    void Feed(unsigned index, const Bytes &m)
    {
        const size_t half = m.size() / 2;
        for (const auto &piece : {Bytes(m.begin(), m.begin() + half), Bytes(m.begin() + half, m.end())}) {
            b.push_back(static_cast<uint8_t>(index));
            b.push_back(static_cast<uint8_t>(piece.size()));
            b.push_back(static_cast<uint8_t>(piece.size() >> 8));
            b.insert(b.end(), piece.begin(), piece.end());
        }
    }
    void Media(uint8_t what, uint16_t offsetBy16, uint16_t count)
    {
        b.insert(b.end(), {0x30, what, static_cast<uint8_t>(offsetBy16), static_cast<uint8_t>(offsetBy16 >> 8),
                           static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)});
    }
};

Bytes Reply(uint32_t type, uint32_t psn, int32_t channel, std::vector<uint32_t> words)
{
    return BuildWordsRequest(type, words, psn, channel);
}

Bytes DataReply(uint32_t psn, int32_t channel, uint32_t count)
{
    Bytes m(kReplyDataOffset + count, 0x5A);
    MessageHeader h{};
    h.dwMessageType = PYXMSG_RPC_READ;
    h.dwPSN = psn;
    StoreHeader(m.data(), h);
    BuildDataReply(m.data(), static_cast<int32_t>(count), count, channel);
    return m;
}

Bytes Session(bool ica)
{
    Script s;
    s.b = {static_cast<uint8_t>(ica ? 1 : 0), 0, 4, 10};
    unsigned char solicit[kSolicitationSize];
    BuildSolicitation(solicit, 1);
    s.Feed(1, Bytes(solicit, solicit + sizeof solicit));
    s.Feed(0, Reply(PYXMSG_SEND_PARAMS, 1, CHANNEL_CONTROL, {0}));
    unsigned char ruof[kPlayerOpenSize];
    const std::u16string name = u"C:\\media\\a.avi";
    ComposeOpenMessage(ruof, 2, name.data(), name.size());
    s.Feed(1, Bytes(ruof, ruof + sizeof ruof));
    s.Feed(0, Reply(PYXMSG_RPC_OPEN, 2, CHANNEL_CONTROL, {3, 0, 0, 0}));
    s.Media(0, 0, 100);    // READ, PSN 3
    s.Media(0, 7, 3000);   // READ, PSN 4
    s.Media(1, 300, 64);   // read-ahead, PSN 5
    s.Media(2, 0, 0);      // SEEK, PSN 6
    s.Feed(2, DataReply(4, 0, 3000 - 0));
    Chunker chunker;
    Bytes whole = DataReply(3, 0, 100);
    uint32_t written = 0;
    chunker.WriteMessage(whole.data(), static_cast<uint32_t>(whole.size()), &written);
    s.Feed(2, chunker.out);
    s.Feed(2, DataReply(5, 0, 64));
    s.Feed(2, Reply(PYXMSG_RPC_SEEK, 6, 0, {4096}));
    unsigned char cont[kPlayerControlSize];
    ComposeControlMessage(cont, 3, {PLAYER_CMD_SEEK, 50, 0, 0, 0});
    s.Feed(1, Bytes(cont, cont + sizeof cont));
    s.b.insert(s.b.end(), {0x20, 200});   // the clock: some requests time out
    ComposeControlMessage(cont, 4, {PLAYER_CMD_KILL_PLAYER, 0, 0, 0, 0});
    s.Feed(1, Bytes(cont, cont + sizeof cont));
    s.Feed(0, Reply(PYXMSG_RPC_CLOSE, 7, CHANNEL_CONTROL, {0}));
    return s.b;
}

} // namespace

std::vector<Bytes> ReplaySeeds() { return {Session(false), Session(true)}; }
