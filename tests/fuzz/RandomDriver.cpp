// Drives a libFuzzer entry point without libFuzzer: seeded random inputs and mutations of the
// target's seed files, spliced with the tokens of its dictionary, so that the same target runs as
// an ordinary test under any compiler.
//
//   fuzz_<name> <runs> [-dict=<file>] <seed folder>...

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The quoted entries of a libFuzzer dictionary, with its escapes \\ \" and \xNN resolved.
std::vector<std::string> dictionary(const std::string& text) {
  std::vector<std::string> tokens;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    const std::size_t open = line.find('"');
    if (line.starts_with('#') || open == std::string_view::npos || line.size() < open + 2) continue;
    std::string token;
    for (std::size_t i = open + 1; i + 1 < line.size(); ++i) {
      if (line[i] != '\\') {
        token += line[i];
      } else if (line[i + 1] == 'x' && i + 3 < line.size()) {
        token += static_cast<char>(std::stoi(std::string(line.substr(i + 2, 2)), nullptr, 16));
        i += 3;
      } else {
        token += line[++i];
      }
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string mutate(std::string input, const std::vector<std::string>& tokens,
                   std::mt19937_64& rng) {
  const int edits = 1 + int(rng() % 8);
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = input.empty() ? 0 : rng() % input.size();
    switch (rng() % 6) {
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
      case 4:
        if (!tokens.empty()) input.insert(at, tokens[rng() % tokens.size()]);
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
  std::vector<std::string> seeds;
  std::vector<std::string> tokens;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("-dict=")) {
      tokens = dictionary(contents(std::string(arg.substr(6))));
      continue;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
      if (entry.is_regular_file()) seeds.push_back(contents(entry.path()));
  }
  std::mt19937_64 rng(0x5eed);
  for (const auto& seed : seeds)
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
  for (long i = 0; i < runs; ++i) {
    std::string input;
    if (!seeds.empty() && rng() % 4 != 0) {
      input = mutate(seeds[rng() % seeds.size()], tokens, rng);
    } else {
      input.resize(rng() % 512);
      for (auto& c : input) c = char(rng());
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  std::printf("%ld inputs from %zu seeds and %zu tokens, no crash\n", runs, seeds.size(),
              tokens.size());
  return 0;
}
