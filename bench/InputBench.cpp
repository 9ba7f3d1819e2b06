// A touch `moved` envelope's bytes decoded and injected until its XTest request has reached the
// X server, beside decoding the same bytes alone, on a private Xvfb in the same run.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "protocol/Frame.h"
#include "runtime/MainLoop.h"
#include "runtime/MemoryDefaults.h"
#include "runtime/Task.h"
#include "session/InputInjector.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace {

using namespace brindlet;
using brindlet::bench::percentile;
using Clock = std::chrono::steady_clock;

constexpr int kMessages = 10000;

// The frames of a drag: a press, then moves back and forth across the display.
std::vector<runtime::Bytes> movedFrames() {
  protocol::MessageCounter counter;
  std::vector<runtime::Bytes> frames;
  for (int i = 0; i < kMessages; ++i) {
    const protocol::Touch moved{protocol::TouchPhase::moved, 0.1 + 0.8 * (i % 100) / 100.0, 0.5,
                                protocol::MouseButton::left, protocol::PointerKind::finger, 0.5};
    frames.push_back(protocol::ControlEnvelope(moved, counter).frame().encoded());
  }
  return frames;
}

struct Fixture {
  testsupport::XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<platform::X11EventPoster> poster = brindlet::testing::runUntilDone(
      loop.context(), platform::X11EventPoster::open(server.display()));
  runtime::MemoryDefaults defaults;
  session::InputInjector injector{{*poster, runtime::Clock::system(), defaults}};
  const session::DisplayRect display{{0, 0, 1280, 800}, 2};
  std::vector<runtime::Bytes> frames = movedFrames();
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::vector<double> injected, decoded;  // microseconds

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

void BM_DecodeMovedEnvelope(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    for (const auto& bytes : f.frames) {
      const auto start = Clock::now();
      auto envelope = protocol::ControlEnvelope::of(protocol::Frame::decode(bytes));
      benchmark::DoNotOptimize(envelope);
      decoded.push_back(micros(Clock::now() - start));
    }
  }
}
BENCHMARK(BM_DecodeMovedEnvelope)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_MovedEnvelopeToXTest(benchmark::State& state) {
  Fixture& f = fixture();
  f.injector.handle(protocol::Touch{protocol::TouchPhase::began, 0.1, 0.5, {}, {}, {}}, f.display);
  for (auto _ : state) {
    for (const auto& bytes : f.frames) {
      const auto start = Clock::now();
      const auto envelope = protocol::ControlEnvelope::of(protocol::Frame::decode(bytes));
      f.injector.handle(envelope.message, f.display);
      brindlet::testing::runUntilDone(f.loop.context(), f.poster->flushed());
      injected.push_back(micros(Clock::now() - start));
    }
  }
  f.injector.release();
  brindlet::testing::runUntilDone(f.loop.context(), f.poster->flushed());
}
BENCHMARK(BM_MovedEnvelopeToXTest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  std::printf(
      "touch moved envelope bytes -> decode -> injector -> XTest request flushed, over %d "
      "messages: p50 %.1f us, p99 %.1f us (goal p50 <= 1000 us); decoding alone: p50 %.1f us, "
      "p99 %.1f us\n",
      kMessages, percentile(injected, 0.5), percentile(injected, 0.99), percentile(decoded, 0.5),
      percentile(decoded, 0.99));
  return 0;
}
