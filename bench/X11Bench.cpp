// A key posted through the event poster until an X client reads its KeyPress, beside an XSync
// round trip of that client alone, both on a private Xvfb in the same run.

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "BenchSupport.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace {

using namespace brindlet;
using brindlet::bench::percentile;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 2000;
constexpr std::uint16_t kMacA = 0;

// The reading end: a focused window that takes key events.
struct Client {
  explicit Client(const std::string& name) : display(XOpenDisplay(name.c_str())) {
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 200, 0, 0, 0);
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(display, window);
    for (XEvent e; e.type != MapNotify;) XNextEvent(display, &e);
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
  }
  ~Client() { XCloseDisplay(display); }
  void waitFor(int type) {
    for (XEvent e;;) {
      XNextEvent(display, &e);
      if (e.type == type) return;
    }
  }
  Display* display;
  Window window;
};

struct Fixture {
  testsupport::XServer server;
  boost::asio::io_context loop;
  std::unique_ptr<platform::X11EventPoster> poster =
      brindlet::testing::runUntilDone(loop, platform::X11EventPoster::open(server.display()));
  Client client{server.display()};
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::vector<double> postedKeys, directKeys, roundTrips;  // microseconds

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The three paths take turns sample by sample, so a machine whose load changes during the run
// weighs on all of them alike. The direct path is the floor: the same key sent straight through
// XTest from this thread, with no poster in between.
void BM_KeyPathsInterleaved(benchmark::State& state) {
  Fixture& f = fixture();
  Display* sender = XOpenDisplay(f.server.display().c_str());
  const unsigned keycode = XKeysymToKeycode(sender, 'a');
  auto direct = [&](bool down) {
    XTestFakeKeyEvent(sender, keycode, down, CurrentTime);
    XFlush(sender);
  };
  for (auto _ : state) {
    for (int i = 0; i < kSamples; ++i) {
      auto start = Clock::now();
      XSync(f.client.display, False);
      roundTrips.push_back(micros(Clock::now() - start));

      start = Clock::now();
      f.poster->post(desktop::KeyEvent{kMacA, true, {}});
      f.client.waitFor(KeyPress);
      postedKeys.push_back(micros(Clock::now() - start));
      f.poster->post(desktop::KeyEvent{kMacA, false, {}});
      f.client.waitFor(KeyRelease);

      start = Clock::now();
      direct(true);
      f.client.waitFor(KeyPress);
      directKeys.push_back(micros(Clock::now() - start));
      direct(false);
      f.client.waitFor(KeyRelease);
    }
  }
  XCloseDisplay(sender);
}
BENCHMARK(BM_KeyPathsInterleaved)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  const double keyP50 = percentile(postedKeys, 0.5), keyP99 = percentile(postedKeys, 0.99);
  const double syncP50 = percentile(roundTrips, 0.5), syncP99 = percentile(roundTrips, 0.99);
  std::printf(
      "posted key -> KeyPress at an X client: p50 %.1f us, p99 %.1f us; XSync round trip: p50 "
      "%.1f us, p99 %.1f us; p50 ratio %.2f (goal <= 2)\n",
      keyP50, keyP99, syncP50, syncP99, syncP50 > 0 ? keyP50 / syncP50 : 0.0);
  std::printf("the same key straight through XTest on this thread: p50 %.1f us, p99 %.1f us\n",
              percentile(directKeys, 0.5), percentile(directKeys, 0.99));
  return 0;
}
