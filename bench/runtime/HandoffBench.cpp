// A captured frame handed from the capture thread to the encoder's: a pooled buffer through a
// LatestSlot, against copying the frame's bytes once. The handoff must cost at most 1 % of the
// copy and allocate nothing per frame.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "AllocationCount.h"
#include "BenchSupport.h"
#include "runtime/BufferPool.h"
#include "runtime/LatestSlot.h"

namespace {

using brindlet::runtime::BufferPool;
using brindlet::runtime::LatestSlot;

constexpr std::size_t frameSize = 6 * 1024 * 1024;
constexpr std::size_t headerRoom = 64;

double allocationsPerFrame = -1;
double framesTaken = 0;

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::byte> from(frameSize, std::byte{7});
  std::vector<std::byte> to(frameSize);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), frameSize);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(frameSize));
}

// The capture side's cost per frame: take a free buffer, hand it over, recycle the frame the
// encoder did not get to. The encoder thread takes frames meanwhile and drops them back.
void BM_Handoff(benchmark::State& state) {
  auto pool = BufferPool::make(frameSize, headerRoom, 4);
  LatestSlot<BufferPool::Buffer> slot;
  std::atomic<bool> running{true};
  std::atomic<std::uint64_t> taken{0};
  std::thread encoder([&] {
    while (running) {
      if (auto frame = slot.take()) {
        benchmark::DoNotOptimize(frame->payload()[0]);
        ++taken;
      }
    }
  });
  std::uint64_t dropped = 0;
  const auto before = brindlet::bench::allocationsSoFar().count;
  for (auto _ : state) {
    auto buffer = pool->acquire();
    if (!buffer) {
      ++dropped;
      continue;
    }
    buffer.withHeader(16)[0] = std::byte{1};
    auto displaced = slot.put(std::move(buffer));
    benchmark::DoNotOptimize(displaced);
  }
  const auto after = brindlet::bench::allocationsSoFar().count;
  running = false;
  encoder.join();
  allocationsPerFrame = double(after - before) / double(state.iterations());
  framesTaken = double(taken) / double(state.iterations());
  state.counters["dropped"] = double(dropped);
  state.counters["taken"] = double(taken);
}

BENCHMARK(BM_Memcpy)->UseRealTime();
BENCHMARK(BM_Handoff)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  auto& figures = brindlet::bench::runAll(argc, argv);
  const double copy = figures["BM_Memcpy/real_time"].nsPerIteration;
  const double handoff = figures["BM_Handoff/real_time"].nsPerIteration;
  if (copy <= 0 || handoff <= 0) return 0;
  std::printf("\n6 MiB frame, capture thread to encoder thread:\n");
  std::printf(
      "  handoff (pool + latest slot) %9.1f ns per frame = %.3f %% of memcpy (%.1f us); limit 1 "
      "%%\n",
      handoff, 100 * handoff / copy, copy / 1000);
  std::printf(
      "  allocations per frame once warm: %.4f (limit 0); frames the encoder thread took "
      "meanwhile: %.2f %%\n",
      allocationsPerFrame, 100 * framesTaken);
  return 0;
}
