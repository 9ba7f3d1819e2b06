#pragma once

// Hands a fuzz target's example inputs to the random-input driver (RandomDriver.cpp), which
// mutates them; libFuzzer builds ignore them.

#include <cstddef>
#include <iterator>

#define BRINDLET_FUZZ_SEEDS(seeds)                             \
  extern "C" std::size_t brindletFuzzSeedCount() {             \
    return std::size(seeds);                                   \
  }                                                            \
  extern "C" const char* brindletFuzzSeed(std::size_t index) { \
    return seeds[index];                                       \
  }
