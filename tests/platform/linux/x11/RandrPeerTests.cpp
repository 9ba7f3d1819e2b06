#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <sstream>

#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/RandrLeftovers.h"
#include "platform/linux/x11/RandrMonitorLayout.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

using streaming::VirtualDisplayConfig;
using testsupport::monitorNamed;
using testsupport::monitors;
using testsupport::XServer;

std::string screenSize(const XServer& x) {
  const std::string out = x.run({"xrandr"}).output;
  const auto current = out.find("current ");
  return out.substr(current, out.find(',', current) - current);
}

VirtualDisplayConfig phone(std::string name = "Pixel (Brindlet)") {
  return {std::move(name), streaming::displaySerial("Pixel 8/Pixel"), 589, 1278, 2, 60};
}

struct Harness {
  XServer x{XServer::Kind::xorgDummy};
  boost::asio::io_context loop;
  runtime::LogCapture log;
  std::shared_ptr<RandrDisplayBackend> backend;
  std::shared_ptr<streaming::FakeSleepWakeSource> sleepWake =
      std::make_shared<streaming::FakeSleepWakeSource>();
  std::optional<streaming::VirtualDisplayManager> manager;

  // `before` runs on the server before the backend opens.
  explicit Harness(const std::function<void(const XServer&)>& before = {}) {
    if (before) before(x);
    backend = brindlet::testing::runUntilDone(loop, RandrDisplayBackend::open(x.display()));
    auto availability =
        brindlet::testing::runUntilDone(loop, streaming::VirtualDisplayManager::probe(*backend));
    manager.emplace(loop.get_executor(), availability, backend, sleepWake);
  }
  std::uint32_t attach(VirtualDisplayConfig config) {
    return brindlet::testing::runUntilDone(loop, manager->attach(std::move(config)));
  }
  void detach() { brindlet::testing::runUntilDone(loop, manager->detach()); }
  std::vector<std::string> lines() {
    auto info = log.messages("display", runtime::LogLevel::info);
    auto errors = log.messages("display", runtime::LogLevel::error);
    info.insert(info.end(), errors.begin(), errors.end());
    return info;
  }
  std::vector<std::string> infoLines() { return log.messages("display", runtime::LogLevel::info); }
  std::size_t attachedLines() {
    std::size_t n = 0;
    for (const auto& line : log.messages("display", runtime::LogLevel::info))
      n += line.rfind("Attached display", 0) == 0;
    return n;
  }
};

// A display as a run that was killed leaves it: `output` lit right of what is lit, with a mode
// of that name, and a monitor of that name over it unless the name is empty.
void leaveDisplay(const XServer& x, const std::string& output, const std::string& mode,
                  const std::string& monitor, int left) {
  const ModeTimings t = cvtTimings(1178, 2556, 60);
  auto n = [](auto value) { return std::to_string(value); };
  const std::vector<std::vector<std::string>> steps{
      {"xrandr", "--newmode", mode, n(t.dotClock / 1e6), n(t.width), n(t.hSyncStart), n(t.hSyncEnd),
       n(t.hTotal), n(t.height), n(t.vSyncStart), n(t.vSyncEnd), n(t.vTotal), "-hsync", "+vsync"},
      {"xrandr", "--addmode", output, mode},
      {"xrandr", "--output", output, "--mode", mode, "--pos", n(left) + "x0"},
  };
  for (const auto& step : steps) ASSERT_EQ(x.run(step).status, 0) << x.run(step).output;
  if (monitor.empty()) return;
  ASSERT_EQ(x.run({"xrandr", "--setmonitor", monitor, "1178/94x2556/203+" + n(left) + "+0", output})
                .status,
            0);
}

struct Leftover {
  std::string output, mode, monitor;
  bool ours;
};

// What an earlier run left lit goes when the backend opens, a line for each part; outputs whose
// mode or monitor someone else named stay as they are.
TEST(RandrDisplayBackend, ReclaimsWhatAnEarlierRunLeftAndNothingElse) {
  const std::vector<Leftover> leftovers{
      {"DUMMY1", "Pixel (Brindlet) 1178x2556 77", "Pixel (Brindlet)", true},
      {"DUMMY2", "Projector 1178x2556 78", "Projector", false},
      {"DUMMY3", "Tablet (Brindlet) 1178x2556 79", "Wall", false},
      {"DUMMY4", "Pixel (Brindlet) spare 1178x2556 80", "Pixel (Brindlet) spare", false},
      {"DUMMY5", "Pad (Brindlet) 1178x2556 81", "", true},
      {"DUMMY6", "Pad (Brindlet) 1178x2556", "", false},
  };
  Harness h([&](const XServer& x) {
    int left = monitors(x).at(0).width;
    for (const auto& l : leftovers) {
      leaveDisplay(x, l.output, l.mode, l.monitor, left);
      left += 1178;
    }
  });
  const std::string listing = h.x.run({"xrandr"}).output;
  auto litOn = [&](const std::string& output) {
    for (const auto& m : monitors(h.x))
      if (m.output == output) return true;
    return false;
  };
  std::vector<std::string> expected;
  for (const auto& l : leftovers) {
    SCOPED_TRACE(l.output);
    EXPECT_EQ(litOn(l.output), !l.ours);
    EXPECT_EQ(listing.find(l.mode + " ") == std::string::npos, l.ours) << listing;
    if (!l.monitor.empty()) {
      EXPECT_EQ(monitorNamed(h.x, l.monitor).has_value(), !l.ours);
    }
    if (!l.ours) continue;
    if (!l.monitor.empty())
      expected.push_back("Removed leftover RandR monitor \"" + l.monitor + "\"");
    expected.push_back("Switched off leftover output " + l.output);
    expected.push_back("Removed leftover RandR mode \"" + l.mode + "\"");
  }
  auto lines = h.infoLines();
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

// A display left after the backend opened goes before the next is made: one monitor of ours,
// lit on one output.
TEST(RandrDisplayBackend, AnAttachReclaimsWhatWasLeftMeanwhile) {
  Harness h;
  const std::string screenBefore = screenSize(h.x);
  const int left = monitors(h.x).at(0).width;
  leaveDisplay(h.x, "DUMMY1", "Pixel (Brindlet) 1178x2556 77", "Pixel (Brindlet)", left);
  leaveDisplay(h.x, "DUMMY2", "Tablet (Brindlet) 1178x2556 78", "Tablet (Brindlet)", left + 1178);
  const std::uint32_t id = h.attach(phone());
  const auto shown = monitors(h.x);
  ASSERT_EQ(shown.size(), 2u) << h.x.run({"xrandr", "--listmonitors"}).output;
  EXPECT_EQ(shown[1].name, "Pixel (Brindlet)");
  EXPECT_EQ(shown[1].x, shown[0].width);
  EXPECT_TRUE(h.manager->attachedId() == id);
  h.detach();
  EXPECT_EQ(monitors(h.x).size(), 1u);
  EXPECT_EQ(screenSize(h.x), screenBefore);
}

// An exit that cannot wait for the backend switches off what is ours on a connection of its own,
// and leaves the rest lit.
TEST(RandrLeftovers, AnExitSwitchesOffOurOutputsOnItsOwnConnection) {
  Harness h;
  const int left = monitors(h.x).at(0).width;
  leaveDisplay(h.x, "DUMMY1", "Pixel (Brindlet) 1178x2556 77", "Pixel (Brindlet)", left);
  leaveDisplay(h.x, "DUMMY2", "Projector 1178x2556 78", "Projector", left + 1178);
  EXPECT_TRUE(switchOffOurOutputs(h.x.display(), std::chrono::seconds(5)));
  const auto shown = monitors(h.x);
  ASSERT_EQ(shown.size(), 2u) << h.x.run({"xrandr", "--listmonitors"}).output;
  EXPECT_EQ(shown[1].name, "Projector");
}

// The monitor of a display is known once refreshed, and gone as soon as the server says so,
// without being asked again.
TEST(RandrMonitorLayout, FollowsTheMonitorOfADisplay) {
  Harness h;
  auto layout = brindlet::testing::runUntilDone(h.loop, RandrMonitorLayout::open(h.x.display()));
  const std::uint32_t id = h.attach(phone());
  brindlet::testing::runUntilDone(h.loop, layout->refresh());
  const auto shown = monitorNamed(h.x, "Pixel (Brindlet)");
  ASSERT_TRUE(shown);
  EXPECT_EQ(layout->monitorOf(id), (desktop::Rect{shown->x, shown->y, 1178, 2556}));
  h.detach();
  EXPECT_TRUE(brindlet::testing::runUntil(h.loop, [&] { return !layout->monitorOf(id); }));
  EXPECT_EQ(layout->monitorOf(0), std::nullopt);

  // A server that went away shows no monitors.
  const std::uint32_t again = h.attach(phone());
  brindlet::testing::runUntilDone(h.loop, layout->refresh());
  ASSERT_TRUE(layout->monitorOf(again));
  h.x.kill();
  EXPECT_TRUE(brindlet::testing::runUntil(h.loop, [&] { return !layout->monitorOf(again); }));
}

TEST(RandrDisplayBackend, TimingsFollowTheStandardFormula) {
  // As the X server's own tools compute them for 1920×1080 at 60 Hz.
  EXPECT_EQ(cvtTimings(1920, 1080, 60),
            (ModeTimings{1920, 1080, 173000000, 2048, 2248, 2576, 1083, 1088, 1120}));
}

TEST(RandrDisplayBackend, AttachesDetachesAndNoticesAnOutputSwitchedOff) {
  Harness h;
  ASSERT_TRUE(h.manager->availability().isAvailable()) << h.manager->availability().reason();
  const std::string screenBefore = screenSize(h.x);
  const auto primary = monitors(h.x).at(0);
  ASSERT_EQ(primary.output, "DUMMY0");

  const std::uint32_t id = h.attach(phone());
  auto shown = monitorNamed(h.x, "Pixel (Brindlet)");
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->width, 1178);
  EXPECT_EQ(shown->height, 2556);
  EXPECT_EQ(shown->mmWidth, 94);
  EXPECT_EQ(shown->mmHeight, 203);
  EXPECT_EQ(shown->x, primary.x + primary.width);
  EXPECT_EQ(shown->y, 0);
  const std::string props = h.x.run({"xrandr", "--prop"}).output;
  const std::string lit = props.substr(props.find(shown->output + " connected"));
  EXPECT_NE(lit.substr(0, lit.find('\n')).find(" 94mm x 203mm"), std::string::npos) << lit;

  const auto linesBefore = h.lines();
  EXPECT_EQ(h.attach(phone()), id);
  EXPECT_EQ(h.lines(), linesBefore);

  const std::uint32_t other = h.attach(phone("Tablet (Brindlet)"));
  EXPECT_FALSE(monitorNamed(h.x, "Pixel (Brindlet)"));
  EXPECT_TRUE(monitorNamed(h.x, "Tablet (Brindlet)"));
  (void)other;

  for (int round = 0; round < 50; ++round) {
    h.detach();
    EXPECT_EQ(monitors(h.x).size(), 1u);
    h.attach(phone());
  }
  h.detach();
  const std::string listing = h.x.run({"xrandr"}).output;
  EXPECT_EQ(monitors(h.x).size(), 1u);
  EXPECT_EQ(listing.find("Brindlet"), std::string::npos) << listing;
  EXPECT_EQ(screenSize(h.x), screenBefore);

  // Another program switches the output off: the line, then a wake makes it again.
  const std::uint32_t lost = h.attach(phone());
  const std::string output = monitorNamed(h.x, "Pixel (Brindlet)")->output;
  ASSERT_EQ(h.x.run({"xrandr", "--output", output, "--off"}).status, 0);
  const std::string terminated = "X server terminated virtual display " + std::to_string(lost);
  EXPECT_TRUE(testing::runUntil(h.loop, [&] {
    auto errors = h.log.messages("display", runtime::LogLevel::error);
    return std::find(errors.begin(), errors.end(), terminated) != errors.end();
  }));
  std::optional<std::optional<std::uint32_t>> replacement;
  h.manager->onReplaced([&](std::uint32_t old, std::optional<std::uint32_t> now) {
    EXPECT_EQ(old, lost);
    replacement = now;
  });
  h.sleepWake->wake();
  ASSERT_TRUE(testing::runUntil(h.loop, [&] { return replacement.has_value(); }));
  ASSERT_TRUE(*replacement);
  EXPECT_TRUE(monitorNamed(h.x, "Pixel (Brindlet)"));

  // Switched off again, an equal attach makes it anew (the output may well be the same).
  ASSERT_EQ(h.x.run({"xrandr", "--output", monitorNamed(h.x, "Pixel (Brindlet)")->output, "--off"})
                .status,
            0);
  const std::size_t made = h.attachedLines();
  h.attach(phone());
  EXPECT_EQ(h.attachedLines(), made + 1);
  EXPECT_TRUE(monitorNamed(h.x, "Pixel (Brindlet)"));
  h.detach();
  EXPECT_EQ(screenSize(h.x), screenBefore);
}

}  // namespace
}  // namespace brindlet::platform
