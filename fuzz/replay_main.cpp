// A driver for a fuzz target without libFuzzer, so that the native build's
// compiler can run it as a test: the target's seeds (ReplaySeeds, each
// beginning with 4 bytes of settings), then a fixed series of blind
// mutations of them. No coverage guidance; tools/fuzz.sh does the real
// fuzzing.
//   fuzz_<target>_replay [inputs]      default 20000
#include "replay_seeds.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

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
    const std::vector<Bytes> seeds = ReplaySeeds();
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
