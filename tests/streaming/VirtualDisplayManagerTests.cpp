#include "streaming/VirtualDisplayManager.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "streaming/DisplayError.h"
#include "streaming/FakeDisplayBackend.h"
#include "support/Loop.h"

namespace brindlet::streaming {
namespace {

using namespace std::chrono_literals;
using boost::asio::awaitable;
using Lines = std::vector<std::string>;

VirtualDisplayConfig phone(std::uint32_t width = 589, std::uint32_t height = 1278,
                           std::uint32_t scale = 2) {
  return {"Pixel (Brindlet)", displaySerial("Pixel 8/Pixel"), width, height, scale, 60};
}

VirtualDisplayConfig renamed(std::string name) {
  auto c = phone();
  c.name = std::move(name);
  return c;
}

// A manager on a fake backend and a manual clock. Operations start together; whenever the loop
// has nothing to do the clock moves on by one poll interval.
struct Harness {
  boost::asio::io_context loop;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<FakeDisplayBackend> backend = std::make_shared<FakeDisplayBackend>();
  std::shared_ptr<FakeSleepWakeSource> sleepWake = std::make_shared<FakeSleepWakeSource>();
  runtime::LogCapture log;
  std::unique_ptr<VirtualDisplayManager> manager;
  Lines outcomes;  // in the order the operations finished

  void start() {
    manager = std::make_unique<VirtualDisplayManager>(loop.get_executor(), backend->availability,
                                                      backend, sleepWake, clock);
    manager->onReplaced([this](std::uint32_t old, std::optional<std::uint32_t> replacement) {
      outcomes.push_back("replaced " + std::to_string(old) + " by " +
                         (replacement ? std::to_string(*replacement) : "none"));
    });
  }

  runtime::TaskHandle attach(VirtualDisplayConfig config) {
    return report([this, config]() -> awaitable<std::string> {
      co_return std::to_string(co_await manager->attach(config));
    });
  }
  runtime::TaskHandle detach() {
    return report([this]() -> awaitable<std::string> {
      co_await manager->detach();
      co_return "detached";
    });
  }
  template <class F>
  runtime::TaskHandle report(F operation) {
    return runtime::spawn(loop.get_executor(), [](Harness* h, F op) -> awaitable<void> {
      try {
        h->outcomes.push_back(co_await op());
      } catch (const DisplayError& e) {
        h->outcomes.push_back(e.text());
      } catch (...) {
        h->outcomes.push_back("cancelled");
      }
    }(this, std::move(operation)));
  }

  // Runs until nothing waits on the clock any more.
  void settle() {
    for (int polls = 0; polls < 1000; ++polls) {
      testing::drain(loop);
      if (clock->sleeperCount() == 0) return;
      clock->advance(10ms);
    }
    FAIL() << "still polling after 10 s";
  }

  Lines lines() {
    Lines out;
    for (const auto& e : log.sink().entries()) {
      if (e.category == "display")
        out.push_back(std::string(runtime::wordOf(e.level)) + " " + e.message);
    }
    return out;
  }
};

struct Case {
  const char* name;
  std::function<void(Harness&)> script;
  Lines outcomes;
  Lines lines;
};

const Lines attached1 = {"info Attached display 1 589×1278@2x in 0.0 seconds"};

TEST(VirtualDisplayManager, OperationsLogEveryLineInOrder) {
  const Case cases[] = {
      {"an equal attach reuses the live display silently",
       [](Harness& h) {
         h.attach(phone());
         h.attach(phone());
       },
       {"1", "1"},
       attached1},
      {"another name replaces the display",
       [](Harness& h) {
         h.attach(phone());
         h.attach(renamed("Other"));
       },
       {"1", "2"},
       {attached1[0], "info Detached display 1 in 0.0 seconds",
        "info Attached display 2 589×1278@2x in 0.0 seconds"}},
      {"after termination an equal attach makes a new display",
       [](Harness& h) {
         h.attach(phone());
         h.settle();
         h.backend->terminate(1);
         h.attach(phone());
       },
       {"1", "2"},
       {attached1[0], "error X server terminated virtual display 1",
        "info Detached display 1 in 0.0 seconds",
        "info Attached display 2 589×1278@2x in 0.0 seconds"}},
      {"a zero width releases the display first",
       [](Harness& h) {
         h.attach(phone());
         h.attach(phone(0, 1278));
       },
       {"1", "invalidSize(width: 0, height: 1278)"},
       {attached1[0], "info Detached display 1 in 0.0 seconds"}},
      {"sizes beyond RandR's 32767 pixels are refused, also when the product wraps",
       [](Harness& h) {
         h.attach(phone(32767, 100, 1));
         h.attach(phone(16384, 100, 2));
         h.attach(phone(100, 0x80000000u, 2));
       },
       {"1", "invalidSize(width: 16384, height: 100)",
        "invalidSize(width: 100, height: 2147483648)"},
       {"info Attached display 1 32767×100@1x in 0.0 seconds",
        "info Detached display 1 in 0.0 seconds"}},
      {"an unavailable manager refuses every attach and detaches nothing",
       [](Harness& h) {
         h.manager.reset();
         h.backend->availability = VirtualDisplayAvailability::unavailable("No spare RandR output");
         h.start();
         h.attach(phone());
         h.attach(phone());
         h.detach();
       },
       {"unavailable(reason: \"No spare RandR output\")",
        "unavailable(reason: \"No spare RandR output\")", "detached"},
       {}},
      {"a display not yet ready is polled every 10 ms",
       [](Harness& h) {
         h.backend->pollsUntilReady = 4;
         h.attach(phone());
       },
       {"1"},
       {"info Attached display 1 589×1278@2x in 0.03 seconds"}},
      {"a display that never comes up is detached after 2 s",
       [](Harness& h) {
         h.backend->pollsUntilReady = -1;
         h.attach(phone());
       },
       {"timedOut"},
       {"error Display 1 did not appear within 2.0 seconds",
        "info Detached display 1 in 0.0 seconds"}},
      {"a slow removal is waited for",
       [](Harness& h) {
         h.backend->pollsUntilGone = 5;
         h.attach(phone());
         h.detach();
       },
       {"1", "detached"},
       {attached1[0], "info Detached display 1 in 0.04 seconds"}},
      {"a removal that never shows gives up after 1 s",
       [](Harness& h) {
         h.backend->pollsUntilGone = -1;
         h.attach(phone());
         h.detach();
         h.detach();
       },
       {"1", "detached", "detached"},
       {attached1[0], "error Display 1 still active 1.0 seconds after release"}},
      {"creation failures",
       [](Harness& h) {
         h.backend->createFailure = DisplayError::creationFailed();
         h.attach(phone());
         h.settle();
         h.backend->createFailure = DisplayError::settingsRejected();
         h.attach(phone());
       },
       {"creationFailed", "settingsRejected"},
       {"error RandR display creation failed for Pixel (Brindlet)",
        "error RandR settings rejected 589×1278"}},
      {"no pixel-doubled mode keeps 1x",
       [](Harness& h) {
         h.backend->offeredModes = {{1, 589, 1278}, {2, 1178, 2000}};
         h.attach(phone());
       },
       {"1"},
       {"error No HiDPI mode for 589×1278; staying at 1x", attached1[0]}},
      {"a refused mode is only logged",
       [](Harness& h) {
         h.backend->setModeResult = -3;
         h.attach(phone());
       },
       {"1"},
       {"error HiDPI mode refused (-3) for 589×1278", attached1[0]}},
      {"sleep keeps the display; wake finds it",
       [](Harness& h) {
         h.sleepWake->wake();
         h.attach(phone());
         h.settle();
         h.sleepWake->sleep();
         h.sleepWake->wake();
       },
       {"1"},
       {attached1[0], "info System will sleep; keeping the virtual display",
        "info Woke with display 1 still attached"}},
      {"a display lost across sleep is made again and reported",
       [](Harness& h) {
         h.attach(phone());
         h.settle();
         h.backend->terminate(1);
         h.sleepWake->wake();
       },
       {"1", "replaced 1 by 2"},
       {attached1[0], "error X server terminated virtual display 1",
        "error Display 1 lost across sleep; recreating",
        "info Attached display 2 589×1278@2x in 0.0 seconds"}},
      {"a re-creation under the same number is reported too",
       [](Harness& h) {
         h.backend->reuseIds = true;
         h.attach(phone());
         h.settle();
         h.backend->terminate(1);
         h.sleepWake->wake();
       },
       {"1", "replaced 1 by 1"},
       {attached1[0], "error X server terminated virtual display 1",
        "error Display 1 lost across sleep; recreating", attached1[0]}},
      {"a failed re-creation reports the display lost",
       [](Harness& h) {
         h.attach(phone());
         h.settle();
         h.backend->terminate(1);
         h.backend->createFailure = DisplayError::creationFailed();
         h.sleepWake->wake();
       },
       {"1", "replaced 1 by none"},
       {attached1[0], "error X server terminated virtual display 1",
        "error Display 1 lost across sleep; recreating",
        "error RandR display creation failed for Pixel (Brindlet)",
        "error Recreating display after wake failed: creationFailed"}},
      {"operations run one at a time in arrival order",
       [](Harness& h) {
         h.backend->pollsUntilReady = 3;
         h.attach(phone());
         h.attach(renamed("Other"));
         h.detach();
         h.detach();
       },
       {"1", "2", "detached", "detached"},
       {"info Attached display 1 589×1278@2x in 0.02 seconds",
        "info Detached display 1 in 0.0 seconds",
        "info Attached display 2 589×1278@2x in 0.02 seconds",
        "info Detached display 2 in 0.0 seconds"}},
      {"a cancelled caller stops waiting; its attach still finishes",
       [](Harness& h) {
         h.backend->pollsUntilReady = 3;
         auto caller = h.attach(phone());
         testing::drain(h.loop);
         caller.cancel();
         h.settle();
         h.attach(phone());
       },
       {"cancelled", "1"},
       {"info Attached display 1 589×1278@2x in 0.02 seconds"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.start();
    c.script(h);
    h.settle();
    EXPECT_EQ(h.outcomes, c.outcomes);
    EXPECT_EQ(h.lines(), c.lines);
  }
}

TEST(VirtualDisplayManager, BackendSeesEachDisplayMadeAndRemovedOnce) {
  Harness h;
  h.start();
  h.attach(phone());
  h.attach(renamed("Other"));
  h.attach(phone(589, 1278, 1));
  h.settle();
  h.manager.reset();
  testing::drain(h.loop);
  EXPECT_EQ(h.backend->calls(),
            (Lines{"create Pixel (Brindlet)", "setMode 1 1178×2556", "remove 1", "create Other",
                   "setMode 2 1178×2556", "remove 2", "create Pixel (Brindlet)", "remove 3"}));
}

// What lies on a display moves off while it still shows: before each removal of the manager's,
// a replacing attach's too.
TEST(VirtualDisplayManager, RemovingRunsWhileTheDisplayStillShows) {
  Harness h;
  h.start();
  Lines seen;
  h.manager->onRemoving([&](std::uint32_t id) -> awaitable<void> {
    seen.push_back(std::to_string(id) + " after " + h.backend->calls().back());
    co_return;
  });
  h.attach(phone());
  h.attach(renamed("Other"));
  h.detach();
  h.settle();
  EXPECT_EQ(seen, (Lines{"1 after setMode 1 1178×2556", "2 after setMode 2 1178×2556"}));
  EXPECT_EQ(h.backend->calls().back(), "remove 2");
}

TEST(VirtualDisplayManager, CallersWaitingWhenItGoesAreReleased) {
  Harness h;
  h.backend->pollsUntilReady = -1;
  h.start();
  h.attach(phone());
  h.detach();
  testing::drain(h.loop);
  h.manager.reset();
  testing::drain(h.loop);
  EXPECT_EQ(h.outcomes, (Lines{"cancelled", "cancelled"}));
  EXPECT_EQ(h.backend->calls(), (Lines{"create Pixel (Brindlet)", "remove 1"}));
}

TEST(VirtualDisplayManager, ProbeLogsWhyDisplaysAreUnavailable) {
  boost::asio::io_context loop;
  runtime::LogCapture log;
  FakeDisplayBackend backend;
  backend.availability = VirtualDisplayAvailability::unavailable("RandR 1.5 is missing");
  EXPECT_EQ(brindlet::testing::runUntilDone(loop, VirtualDisplayManager::probe(backend)),
            backend.availability);
  backend.availability = VirtualDisplayAvailability::available();
  EXPECT_TRUE(
      brindlet::testing::runUntilDone(loop, VirtualDisplayManager::probe(backend)).isAvailable());
  EXPECT_EQ(log.messages("display", runtime::LogLevel::error),
            Lines{"Virtual display unavailable: RandR 1.5 is missing"});
}

TEST(DisplaySerial, IsFnv1aNeverZero) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"", 0x811C9DC5u}, {"a", 0xE40C292Cu}, {"foobar", 0xBF9CF968u}, {"qzs0UD", 1u}};
  for (const auto& [text, serial] : cases) EXPECT_EQ(displaySerial(text), serial) << text;
}

}  // namespace
}  // namespace brindlet::streaming
