// A touch `moved` envelope's bytes decoded and injected until its XTest request has reached the
// X server, beside XTest alone (the same motion and an XSync on a connection of the benchmark's
// own), the two taken in turns on a private Xvfb; and decoding alone, the path's first part.
// Every thread of the benchmark and of its X server runs on one CPU, so that the ratio does not
// depend on where the scheduler puts the poster's thread or the server: each hop between them is
// a switch on that CPU, paid in both measures alike.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
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
// The path adds a hop to the poster's thread and back to XTest's own round trip.
constexpr double kRatioGoal = 3.0;

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

std::vector<double> injected, xtestAlone, decoded;  // microseconds

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

// The reference: the motion the injector makes of the same touch, straight through XTest on one
// connection, XSync'd until the server has it.
class BareXTest {
 public:
  explicit BareXTest(const std::string& display) : d_(XOpenDisplay(display.c_str())) {}
  ~BareXTest() { XCloseDisplay(d_); }
  BareXTest(const BareXTest&) = delete;
  BareXTest& operator=(const BareXTest&) = delete;

  void move(int x, int y) {
    XTestFakeMotionEvent(d_, -1, x, y, CurrentTime);
    XSync(d_, False);
  }

 private:
  Display* d_;
};

// The injected path and XTest alone in turns, message by message, the order switching each
// time, so that both see the same load from the rest of the machine.
void BM_MovedEnvelopeToXTestInTurns(benchmark::State& state) {
  Fixture& f = fixture();
  BareXTest bare(f.server.display());
  f.injector.handle(protocol::Touch{protocol::TouchPhase::began, 0.1, 0.5, {}, {}, {}}, f.display);
  for (auto _ : state) {
    for (std::size_t i = 0; i < f.frames.size(); ++i) {
      const auto viaInjector = [&] {
        const auto start = Clock::now();
        const auto envelope = protocol::ControlEnvelope::of(protocol::Frame::decode(f.frames[i]));
        f.injector.handle(envelope.message, f.display);
        brindlet::testing::runUntilDone(f.loop.context(), f.poster->flushed());
        injected.push_back(micros(Clock::now() - start));
      };
      const auto alone = [&] {
        const double x =
            f.display.minX() + f.display.width() * (0.1 + 0.8 * double(i % 100) / 100.0);
        const auto start = Clock::now();
        bare.move(int(x), int(f.display.minY() + f.display.height() / 2));
        xtestAlone.push_back(micros(Clock::now() - start));
      };
      if (i % 2 == 0) {
        viaInjector();
        alone();
      } else {
        alone();
        viaInjector();
      }
    }
  }
  f.injector.release();
  brindlet::testing::runUntilDone(f.loop.context(), f.poster->flushed());
}
BENCHMARK(BM_MovedEnvelopeToXTestInTurns)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  const auto [cpu, pinned] = bench::firstCpus(1);
  bench::pinProcess("self", cpu);
  bench::pinProcess(std::to_string(fixture().server.pid()), cpu);
  bench::runAll(argc, argv);
  const double ratio = bench::ratio(percentile(injected, 0.5), percentile(xtestAlone, 0.5));
  std::printf(
      "the benchmark and its X server pinned to CPU %s; touch moved envelope bytes -> decode -> "
      "injector -> XTest request at the server, over %d messages: p50 %.1f us, p99 %.1f us (goal "
      "p50 <= 1000 us); XTest alone, the same motion + XSync on one connection, in turns with it: "
      "p50 %.1f us, p99 %.1f us; path/XTest alone p50 ratio %.2f (goal <= %.1f: %s); decoding "
      "alone: p50 %.1f us, p99 %.1f us\n",
      pinned.c_str(), kMessages, percentile(injected, 0.5), percentile(injected, 0.99),
      percentile(xtestAlone, 0.5), percentile(xtestAlone, 0.99), ratio, kRatioGoal,
      ratio <= kRatioGoal ? "met" : "missed", percentile(decoded, 0.5), percentile(decoded, 0.99));
  return 0;
}
