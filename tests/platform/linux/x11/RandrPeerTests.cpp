#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <sstream>

#include "platform/linux/x11/RandrDisplayBackend.h"
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
  std::shared_ptr<RandrDisplayBackend> backend =
      brindlet::testing::runUntilDone(loop, RandrDisplayBackend::open(x.display()));
  std::shared_ptr<streaming::FakeSleepWakeSource> sleepWake =
      std::make_shared<streaming::FakeSleepWakeSource>();
  std::optional<streaming::VirtualDisplayManager> manager;

  Harness() {
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
  std::size_t attachedLines() {
    std::size_t n = 0;
    for (const auto& line : log.messages("display", runtime::LogLevel::info))
      n += line.rfind("Attached display", 0) == 0;
    return n;
  }
};

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
