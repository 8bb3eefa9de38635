// A driver for the fuzz target without libFuzzer, so that the native build's
// compiler can run it as a test: one valid request of each kind, then a fixed
// series of blind mutations of them. No coverage guidance; tools/fuzz.sh does
// the real fuzzing.
//   fuzz_file_rpc_replay [inputs]      default 20000
#include "protocol.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

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

std::vector<Bytes> Seeds()
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

uint64_t g_state = 0x9E3779B97F4A7C15ull;
uint32_t Next()
{
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return static_cast<uint32_t>(g_state >> 16);
}

const uint32_t kInteresting[] = {0, 1, 2, 3, 4, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 1023, 1024, 65536,
                                 131036, 131037, 131072, 299999, 300000, 0xFFFFFFDC, 0xFFFFFFE0};

void Mutate(Bytes &b, const std::vector<Bytes> &seeds)
{
    const uint32_t steps = 1 + Next() % 4;
    for (uint32_t s = 0; s < steps; ++s) {
        const size_t n = b.size();
        switch (Next() % 6) {
        case 0: // one bit
            b[Next() % n] ^= static_cast<uint8_t>(1u << (Next() % 8));
            break;
        case 1: // one byte
            b[Next() % n] = static_cast<uint8_t>(Next());
            break;
        case 2: // a word with a telling value
            if (n >= 4) {
                const size_t at = Next() % (n - 3);
                const uint32_t v = kInteresting[Next() % (sizeof(kInteresting) / sizeof(kInteresting[0]))];
                for (int i = 0; i < 4; ++i)
                    b[at + i] = static_cast<uint8_t>(v >> (8 * i));
            }
            break;
        case 3: // cut the tail
            b.resize(4 + Next() % (n - 3));
            break;
        case 4: // the records of another seed after these
        {
            const Bytes &other = seeds[Next() % seeds.size()];
            b.insert(b.end(), other.begin() + 4, other.end());
            break;
        }
        default: // drop a few bytes inside
            if (n > 8) {
                const size_t at = 4 + Next() % (n - 8);
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                        b.begin() + static_cast<std::ptrdiff_t>(at + 1 + Next() % 4));
            }
            break;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned long inputs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    LLVMFuzzerInitialize(&argc, &argv);
    const std::vector<Bytes> seeds = Seeds();
    unsigned long done = 0;
    for (const Bytes &s : seeds) {
        LLVMFuzzerTestOneInput(s.data(), s.size());
        ++done;
    }
    while (done < inputs) {
        Bytes b = seeds[Next() % seeds.size()];
        Mutate(b, seeds);
        LLVMFuzzerTestOneInput(b.data(), b.size());
        ++done;
    }
    std::printf("%lu inputs, no fault\n", done);
    return 0;
}
