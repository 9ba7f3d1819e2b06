#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Documents near the ones the decoders accept, so that mutations reach deep into them.
const std::string_view kSeeds[] = {
    R"({"kind":"shortcut","keys":"ctrl+cmd+q","positive":"up","negative":"down"})",
    R"({"kind":"jog","label":"Zoom","action":{"kind":"shortcut","positive":"=","negative":"-"}})",
    R"({"kind":"slider","label":"V","min":0,"max":1,"action":{"kind":"system","op":"mute"}})",
    R"({"reader":"logTail","path":"/tmp/a.log","lines":6,"startOn":"x","format":"mm:ss"})",
    R"({"kind":"url","url":"https://example.com/a?b#c","timeoutSeconds":2.5})",
    R"([{"a":1,"\u0061":2},["x",{"b":[]}],"\ud83d\ude00",null,true])",
    "\xEF\xBB\xBF{\"kind\":\"shell\",\"command\":\"ls\"}",
};

constexpr std::string_view kAlphabet = "{}[]\":,\\ u0aZ\xC3\xA9\x01\xFF";

std::string mutated(std::string text, std::mt19937& random) {
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  const std::size_t steps = 1 + pick(6);
  for (std::size_t i = 0; i < steps; ++i) {
    const std::size_t at = pick(text.size());
    switch (pick(4)) {
      case 0:
        text.insert(at, 1, kAlphabet[pick(kAlphabet.size() - 1)]);
        break;
      case 1:
        text.erase(at, pick(8));
        break;
      case 2:
        text.insert(at, text.substr(pick(text.size()), pick(24)));
        break;
      case 3:
        if (at < text.size()) text[at] = static_cast<char>(pick(255));
        break;
      default:
        text.insert(at, std::string(pick(40), "[{"[pick(1)]));
        break;
    }
  }
  return text;
}

TEST(RandomizedInput, EveryInputEndsInAValueOrAProfileError) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 30000; ++round) {
    const std::string input = mutated(std::string(kSeeds[round % std::size(kSeeds)]), random);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  for (std::string_view seed : kSeeds)
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
}

}  // namespace

namespace {

// Whole profile files, mutated: loading ends in a profile or one error, and a loaded profile's
// canonical form loads back to the same profile.
TEST(RandomizedInput, MutatedProfileFiles) {
  const char* dir = std::getenv("BRINDLET_SOURCE_DIR");
  const std::filesystem::path fixtures =
      std::filesystem::path(dir != nullptr ? dir : ".") / "tests/profiles/fixtures";
  std::vector<std::string> seeds;
  for (const char* name : {"complete.json", "minimal.json"}) {
    std::ifstream in(fixtures / name, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_FALSE(seeds[0].empty());
  std::mt19937 random(20240612);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = mutated(seeds[round % seeds.size()], random);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  for (const auto& seed : seeds)
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
}

}  // namespace
