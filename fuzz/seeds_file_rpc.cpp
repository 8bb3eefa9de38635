// Seeds of the data-channel request processing's target: one valid request
// of each kind (tools/fuzz.sh writes the same ones for libFuzzer).
#include "protocol.h"
#include "replay_seeds.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTheFile = 0x7FFFFFF0;

void Put32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One record: length, header (PSN 1, channel 0), payload words.
void Record(Bytes &b, uint32_t type, std::vector<uint32_t> words)
{
    const uint32_t size = static_cast<uint32_t>(4 * words.size());
    b.push_back(static_cast<uint8_t>(32 + size));
    b.push_back(static_cast<uint8_t>((32 + size) >> 8));
    Put32(b, type);
    Put32(b, size);
    Put32(b, 1);
    for (int i = 0; i < 5; ++i)
        Put32(b, 0);
    for (uint32_t w : words)
        Put32(b, w);
}

// Cap 64 KB, target 100 KB/s, throughput 50, clock step 1.
Bytes Settings() { return {16, 100, 50, 16}; }

} // namespace

std::vector<std::vector<uint8_t>> ReplaySeeds()
{
    std::vector<Bytes> seeds;
    auto add = [&](std::vector<std::pair<uint32_t, std::vector<uint32_t>>> records) {
        Bytes b = Settings();
        for (auto &r : records)
            Record(b, r.first, r.second);
        seeds.push_back(b);
    };
    const uint32_t fdop = PYXMSG_RPC_FDOPEN;
    add({{PYXMSG_RPC_READ, {kTheFile, 4096, 0xFFFFFFFF}}});
    add({{PYXMSG_RPC_READ, {kTheFile, 4096, 150000}}});
    add({{PYXMSG_RPC_READ, {kTheFile, 200000, 0xFFFFFFFF}}});
    add({{PYXMSG_RPC_SEEK, {kTheFile, static_cast<uint32_t>(-100), 2}}});
    add({{fdop, {kTheFile, 25202}}});
    add({{fdop, {kTheFile, 25202}}, {PYXMSG_RPC_FREAD, {1, 8, 10}}});
    add({{fdop, {kTheFile, 25202}}, {PYXMSG_RPC_FSEEK, {1, 100, 0}}});
    add({{fdop, {kTheFile, 25202}}, {PYXMSG_RPC_FTELL, {1}}});
    return seeds;
}

