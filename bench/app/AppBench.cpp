// The tray menu and the welcome window as quick as Qt's own: a click on the tray icon until the
// menu's window is mapped (the app's menu with ten nearby phones), and the set-up item until the
// welcome window is mapped, both as an X client sees them, beside a bare Qt tray app (same icon,
// three items, a plain window of the same size) docked in the same tray in the same run.

#include <benchmark/benchmark.h>

#include <X11/X.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "app/Desk.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/Trayer.h"
#include "support/XServer.h"

namespace {

using namespace brindlet;
using namespace std::chrono_literals;
using brindlet::bench::Desk;
using brindlet::bench::millis;
using brindlet::bench::percentile;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 30;

struct App {
  std::string name;
  std::string windowClass;
  std::unique_ptr<testsupport::ChildProcess> process;
  std::pair<int, int> icon;
  std::vector<double> menuOpens, windowShows;  // milliseconds
};

struct Fixture {
  testsupport::XServer server;
  std::unique_ptr<testsupport::ChildProcess> trayer;
  App ours{"ours", "(\"app-ui-harness\" \"Brindlet\")", nullptr, {}, {}, {}};
  App bare{"bare", "(\"app-ui-harness\" \"Bare\")", nullptr, {}, {}, {}};

  Fixture() {
    server.startWindowManager();
    trayer = testsupport::startTrayer(server);
    ours.process = server.start({"env", "QT_QPA_PLATFORM=xcb",
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", APP_UI_HARNESS,
                                 "tray", "--nearby", "10"});
    bare.process = server.start({"env", "QT_QPA_PLATFORM=xcb",
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", APP_UI_HARNESS,
                                 "bare-tray"});
    for (App* app : {&ours, &bare}) {
      std::optional<std::pair<int, int>> at;
      if (!testsupport::eventually(
              [&] { return (at = testsupport::dockedIcon(server, app->windowClass)).has_value(); },
              20s, 50ms))
        throw std::runtime_error(app->name + " did not dock: " + app->process->output());
      app->icon = *at;
    }
  }
};

void openMenu(Desk& desk, App& app) {
  const auto took = desk.clickForMenu(app.icon);
  if (!took)
    throw std::runtime_error(app.name + ": no menu after " + std::to_string(app.menuOpens.size()) +
                             " opens");
  app.menuOpens.push_back(*took);
  // The menu grabs the keyboard a moment after it is mapped; keys before that go elsewhere.
  std::this_thread::sleep_for(100ms);
}

void setUp(Desk& desk, App& app) {
  // From the bottom of either menu: Quit, then (past a disabled item) the set-up item.
  desk.key(XK_Up);
  desk.key(XK_Up);
  std::this_thread::sleep_for(20ms);
  desk.forget();
  const auto start = Clock::now();
  desk.key(XK_Return);
  if (!desk.waitFor(MapNotify, false)) throw std::runtime_error(app.name + ": no window");
  app.windowShows.push_back(millis(Clock::now() - start));
}

void closeWindows(Fixture& f, Desk& desk) {
  for (const char* title : {"Welcome to Brindlet", "Bare window"})
    f.server.run({"wmctrl", "-c", title});
  desk.waitFor(UnmapNotify, false, 500ms);
  std::this_thread::sleep_for(100ms);
}

std::vector<double> oursMenu, bareMenu, oursWindow, bareWindow;  // milliseconds

// The two apps take turns, sample by sample, so that a change of the machine's load weighs on
// both alike.
void BM_TrayPathsInterleaved(benchmark::State& state) {
  Fixture f;
  Desk desk(f.server.display());
  for (auto _ : state) {
    for (int i = 0; i < kSamples; ++i)
      for (App* app : {&f.ours, &f.bare}) {
        openMenu(desk, *app);
        desk.key(XK_Escape);
        desk.waitFor(UnmapNotify, true);
        // A closed menu lets go of the pointer a moment after it is unmapped.
        std::this_thread::sleep_for(50ms);
      }
    for (int i = 0; i < kSamples; ++i)
      for (App* app : {&f.ours, &f.bare}) {
        openMenu(desk, *app);
        setUp(desk, *app);
        closeWindows(f, desk);
      }
  }
  // Each window came from the set-up item, not from anything else that was mapped.
  for (App* app : {&f.ours, &f.bare}) {
    app->process->waitFor("nothing more", 200ms);
    std::size_t chosen = 0;
    for (auto at = app->process->output().find("chose setup"); at != std::string::npos;
         at = app->process->output().find("chose setup", at + 1))
      ++chosen;
    if (chosen != std::size_t(kSamples))
      throw std::runtime_error(app->name + ": set up " + std::to_string(chosen) + " times");
  }
  // The set-up samples opened the menu too: only the first round counts for the menu.
  oursMenu.assign(f.ours.menuOpens.begin(), f.ours.menuOpens.begin() + kSamples);
  bareMenu.assign(f.bare.menuOpens.begin(), f.bare.menuOpens.begin() + kSamples);
  oursWindow = f.ours.windowShows;
  bareWindow = f.bare.windowShows;
}
BENCHMARK(BM_TrayPathsInterleaved)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  const double menu = percentile(oursMenu, 0.95), bareMenuP95 = percentile(bareMenu, 0.95);
  const double window = percentile(oursWindow, 0.95), bareWindowP95 = percentile(bareWindow, 0.95);
  std::printf(
      "tray click -> menu mapped, p95 over %zu opens: %.1f ms with ten nearby phones, bare Qt "
      "tray app %.1f ms (goal <= 50 ms and <= bare + 25 ms: %s)\n",
      oursMenu.size(), menu, bareMenuP95,
      menu <= 50 && menu <= bareMenuP95 + 25 ? "met" : "missed");
  std::printf(
      "set-up item -> welcome window mapped, p95 over %zu: %.1f ms, bare QWidget of the same "
      "size %.1f ms (goal <= 150 ms: %s)\n",
      oursWindow.size(), window, bareWindowP95, window <= 150 ? "met" : "missed");
  return 0;
}
