// Throughput of the profile pre-scan on a 1 MiB profile-like document, beside nlohmann's parse
// of the same bytes: the pre-scan runs before every decode, so it should cost a fraction of it.
// Our own JSON reader, which decoding uses, runs beside the same parse. And the pre-scan of one
// 1 MiB string of escapes beside one of plain text: escapes must not make it slower per byte
// than about twice plain text, whatever a file holds.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "LoadBench.h"
#include "profiles/JSONShapeScanner.h"
#include "runtime/Json.h"

namespace {

using nlohmann::json;

// A profile with as many keys, controls and readers as it takes to pass 1 MiB, written with
// indentation as people write them.
const std::string& document() {
  static const std::string text = [] {
    json profile = {{"schema", 1},
                    {"id", "com.example.profile.big"},
                    {"name", "Big \u00e9dition"},
                    {"apps", {"com.example.app", "*"}},
                    {"layouts", {{"compact", json::array()}, {"regular", json::array()}}}};
    std::string out;
    for (int i = 0; out.size() < (1u << 20); i += 64) {
      for (int k = i; k < i + 64; ++k) {
        const std::string id = "key" + std::to_string(k);
        profile["keys"][id] = benchKey(k);
        profile["layouts"]["regular"].push_back(id);
        profile["readers"]["r" + std::to_string(k)] = {{"reader", "process"}, {"name", "Zoom"}};
      }
      out = profile.dump(2);
    }
    return out;
  }();
  return text;
}

// {"k":"<1 MiB of the piece, repeated>"}
std::string oneString(std::string_view piece) {
  std::string out = R"({"k":")";
  while (out.size() < (1u << 20) + 6) out += piece;
  return out + "\"}";
}

// Runs one reading of the bytes per iteration.
template <class Read>
void over(benchmark::State& state, const std::string& bytes, Read read) {
  for (auto _ : state) read(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void preScan(const std::string& bytes) {
  brindlet::profiles::JSONShapeScanner::scanDocument(bytes);
}

void profileShapeScan(benchmark::State& state) {
  over(state, document(), preScan);
}
void nlohmannParse(benchmark::State& state) {
  over(state, document(), [](const std::string& b) { benchmark::DoNotOptimize(json::parse(b)); });
}
void jsonDocumentRead(benchmark::State& state) {
  over(state, document(),
       [](const std::string& b) { benchmark::DoNotOptimize(brindlet::runtime::JsonDocument(b)); });
}
void preScanEscapes1MiB(benchmark::State& state) {
  over(state, oneString("\\n"), preScan);
}
void preScanPlain1MiB(benchmark::State& state) {
  over(state, oneString("ab"), preScan);
}
BENCHMARK(profileShapeScan);
BENCHMARK(nlohmannParse);
BENCHMARK(jsonDocumentRead);
BENCHMARK(preScanEscapes1MiB);
BENCHMARK(preScanPlain1MiB);

// Prints the table as usual, then the scan's speed as a multiple of the parse's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) seconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double scan = seconds_["profileShapeScan"];
    const double parse = seconds_["nlohmannParse"];
    if (scan > 0 && parse > 0)
      std::printf(
          "document %zu bytes: pre-scan %.0f MB/s, nlohmann parse %.0f MB/s; "
          "the pre-scan is %.1fx as fast as the parse (%.1f%% of its time)\n",
          document().size(), document().size() / scan * 1e3, document().size() / parse * 1e3,
          parse / scan, 100.0 * scan / parse);
    const double read = seconds_["jsonDocumentRead"];
    if (read > 0 && parse > 0)
      std::printf(
          "document %zu bytes: JsonDocument %.0f MB/s, %.2fx the time of nlohmann's parse\n",
          document().size(), document().size() / read * 1e3, read / parse);
    const double escapes = seconds_["preScanEscapes1MiB"];
    const double plain = seconds_["preScanPlain1MiB"];
    if (escapes > 0 && plain > 0)
      std::printf(
          "pre-scan of a 1 MiB string: escapes %.0f MB/s, plain text %.0f MB/s; escapes take "
          "%.2fx the time of plain text (goal: within 2x)\n",
          (1u << 20) / escapes * 1e3, (1u << 20) / plain * 1e3, escapes / plain);
    const double load = seconds_[kLoadBenchmark];
    const double parseSixty = seconds_[kParseSixtyBenchmark];
    if (load > 0 && parseSixty > 0)
      std::printf(
          "60-key profile, %zu bytes: load %.1f us per file, nlohmann parse alone %.1f us "
          "(load is %.1fx the parse)\n",
          sixtyKeyProfile().size(), load / 1e3, parseSixty / 1e3, load / parseSixty);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
