// Drives a libFuzzer entry point without libFuzzer: seeded random inputs and mutations of the
// target's own seeds, so that the same target runs as an ordinary test under any compiler.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional: a target may offer example inputs to mutate.
extern "C" __attribute__((weak)) std::size_t brindletFuzzSeedCount();
extern "C" __attribute__((weak)) const char* brindletFuzzSeed(std::size_t index);

namespace {

std::string mutate(std::string input, std::mt19937_64& rng) {
  const int edits = 1 + int(rng() % 8);
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = input.empty() ? 0 : rng() % input.size();
    switch (rng() % 5) {
      case 0:
        if (!input.empty()) input[at] = char(rng());
        break;
      case 1:
        input.insert(at, 1, "{}[]\":,0-.eE\\u"[rng() % 15]);
        break;
      case 2:
        if (!input.empty()) input.erase(at, 1 + rng() % 4);
        break;
      case 3:
        input.insert(at, input.substr(at, rng() % 16));
        break;
      default:
        if (!input.empty()) input[at] ^= char(1u << (rng() % 8));
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  const long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200000;
  std::mt19937_64 rng(0x5eed);
  std::vector<std::string> seeds;
  if (brindletFuzzSeedCount != nullptr)
    for (std::size_t i = 0; i < brindletFuzzSeedCount(); ++i)
      seeds.emplace_back(brindletFuzzSeed(i));
  for (const auto& seed : seeds)
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
  for (long i = 0; i < runs; ++i) {
    std::string input;
    if (!seeds.empty() && rng() % 4 != 0) {
      input = mutate(seeds[rng() % seeds.size()], rng);
    } else {
      input.resize(rng() % 512);
      for (auto& c : input) c = char(rng());
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  std::printf("%ld inputs, no crash\n", runs);
  return 0;
}
