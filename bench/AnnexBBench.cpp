// Splitting a keyframe access unit into NAL units and writing them with 4-byte lengths, as the
// receiver does for every video frame, measured against a plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "protocol/AnnexB.h"

namespace {

using brindlet::runtime::Bytes;
namespace AnnexB = brindlet::protocol::AnnexB;

constexpr std::size_t kAccessUnitBytes = 100 * 1024;

// Random slice data with emulation prevention, so that no start code appears inside a unit,
// just as an encoder writes it.
Bytes sliceBytes(std::mt19937& random, std::uint8_t header, std::size_t size) {
  Bytes unit{header};
  int zeros = 0;
  while (unit.size() < size) {
    auto b = static_cast<std::uint8_t>(random());
    if (zeros >= 2 && b <= 3) {
      unit.push_back(0x03);
      zeros = 0;
    }
    unit.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  if (unit.back() == 0) unit.back() = 0x80;  // the stop bit: units never end in zero
  return unit;
}

// SPS, PPS, SEI and four IDR slices, 100 KiB in all.
const Bytes& keyframe() {
  static const Bytes unit = [] {
    std::mt19937 random(1);
    std::vector<Bytes> units{{0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5},
                             {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0},
                             sliceBytes(random, 0x06, 700)};
    std::size_t used = 4 * 3 + 11 + 6 + 700;
    const std::size_t slice = (kAccessUnitBytes - used) / 4 - 4;
    for (int i = 0; i < 3; ++i) units.push_back(sliceBytes(random, 0x65, slice));
    used += 3 * (slice + 4);
    units.push_back(sliceBytes(random, 0x65, kAccessUnitBytes - used - 4));
    return AnnexB::join(units);
  }();
  return unit;
}

void BM_Memcpy(benchmark::State& state) {
  const Bytes& in = keyframe();
  Bytes out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(in.size()));
}

// What the sample builder does (units as views into the access unit, one length-prefixed buffer
// out), and the same through the copying form of the split.
void BM_SplitConvert(benchmark::State& state, bool copies) {
  const Bytes& in = keyframe();
  for (auto _ : state) {
    Bytes out = copies ? AnnexB::lengthPrefixed(AnnexB::splitNALUnits(in))
                       : AnnexB::lengthPrefixed(AnnexB::splitNALUnitViews(in));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(in.size()));
}

BENCHMARK(BM_Memcpy);
BENCHMARK_CAPTURE(BM_SplitConvert, views, false);
BENCHMARK_CAPTURE(BM_SplitConvert, copies, true);

// Prints as usual and keeps every run's time per iteration for the ratios at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration)
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double reference = reporter.times["BM_Memcpy"];
  if (reference <= 0) return 0;
  std::printf("\nsplit + convert of a %zu-byte keyframe access unit, against memcpy of it:\n",
              keyframe().size());
  for (const char* name : {"BM_SplitConvert/views", "BM_SplitConvert/copies"}) {
    if (reporter.times.contains(name)) {
      std::printf("  %-22s %8.2f us = %5.1f x memcpy (%.2f us)\n", name,
                  reporter.times[name] / 1000, reporter.times[name] / reference, reference / 1000);
    }
  }
  return 0;
}
