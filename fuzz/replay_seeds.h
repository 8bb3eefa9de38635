// The seeds a fuzz target gives its replay driver (replay_main.cpp): each
// input starts with 4 bytes of settings, which the mutations keep.
#pragma once

#include <cstdint>
#include <vector>

std::vector<std::vector<uint8_t>> ReplaySeeds();
