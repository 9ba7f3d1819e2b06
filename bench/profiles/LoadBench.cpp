// Loading one profile of 60 keys (scan, decode, validate), beside nlohmann's parse of the same
// bytes: the time per file the store spends at every reload.

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "LoadBench.h"
#include "profiles/Profile.h"

namespace {

using nlohmann::json;

}  // namespace

json benchKey(int k) {
  return {{"label", "Key " + std::to_string(k)},
          {"symbol", "speaker.wave.2"},
          {"tint", "blue"},
          {"action", {{"kind", "shortcut"}, {"keys", "cmd+shift+k"}}},
          {"state",
           {{"reader", "logTail"},
            {"path", "/var/log/app \"quoted\".log"},
            {"lines", 6},
            {"ring", {{"exists", "good"}, {"missing", "critical"}}}}}};
}

const std::string& sixtyKeyProfile() {
  static const std::string text = [] {
    json profile = {{"schema", 1},
                    {"id", "com.example.profile.sixty"},
                    {"name", "Sixty keys"},
                    {"apps", {"com.example.app"}},
                    {"accent", "teal"},
                    {"layouts", {{"compact", json::array()}, {"regular", json::array()}}},
                    {"readers", {{"log", {{"reader", "logTail"}, {"path", "/tmp/app.log"}}}}},
                    {"glance", {{"lines", {"log"}}, {"keys", {"key0", "key1"}}}}};
    for (int k = 0; k < 60; ++k) {
      const std::string id = "key" + std::to_string(k);
      profile["keys"][id] = benchKey(k);
      profile["layouts"][k % 2 == 0 ? "compact" : "regular"].push_back(id);
    }
    return profile.dump(2);
  }();
  return text;
}

namespace {

void load(benchmark::State& state) {
  const std::string& bytes = sixtyKeyProfile();
  for (auto _ : state) benchmark::DoNotOptimize(brindlet::profiles::Profile::load(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(load)->Name(kLoadBenchmark);

void parse(benchmark::State& state) {
  const std::string& bytes = sixtyKeyProfile();
  for (auto _ : state) benchmark::DoNotOptimize(json::parse(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(parse)->Name(kParseSixtyBenchmark);

}  // namespace
