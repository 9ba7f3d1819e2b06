// The settings guide: which window it follows, where the panel goes, and its follow timer on
// the manual clock.

#include "app/core/SettingsGuide.h"

#include <gtest/gtest.h>

#include "desktop/FakeWindowSystem.h"
#include "runtime/ManualClock.h"
#include "support/Loop.h"

namespace brindlet::app {
namespace {

using namespace std::chrono_literals;
using desktop::Rect;
using desktop::WindowInfo;

WindowInfo window(std::string windowClass, Rect geometry, std::string type = "normal") {
  WindowInfo info;
  info.id = static_cast<desktop::WindowId>(geometry.x + 1000 * geometry.width);
  info.windowClass = std::move(windowClass);
  info.types = {std::move(type)};
  info.geometry = geometry;
  return info;
}

desktop::WindowSnapshot snapshotOf(std::vector<WindowInfo> windows) {
  desktop::WindowSnapshot snapshot;
  snapshot.connected = snapshot.windowManager = true;
  snapshot.windows = std::move(windows);
  return snapshot;
}

TEST(SettingsGuide, FrameChoice) {
  auto minimised = window("systemsettings", {0, 0, 2000, 2000});
  minimised.hidden = true;
  auto decorated = window("Gnome-control-center", {10, 30, 500, 400});
  decorated.extents = {1, 1, 20, 1};
  const struct {
    const char* name;
    std::vector<WindowInfo> windows;
    std::optional<Rect> frame;
  } cases[] = {
      {"none", {window("XTerm", {0, 0, 800, 600})}, std::nullopt},
      {"the larger of two",
       {window("Gnome-control-center", {0, 0, 400, 300}),
        window("systemsettings", {50, 50, 800, 600})},
       Rect{50, 50, 800, 600}},
      {"the earlier on a tie",
       {window("systemsettings", {0, 0, 600, 400}),
        window("Gnome-control-center", {9, 9, 400, 600})},
       Rect{0, 0, 600, 400}},
      {"minimised and dialog windows do not count",
       {minimised, window("systemsettings", {0, 0, 3000, 3000}, "dialog"),
        window("systemsettings", {5, 5, 100, 100})},
       Rect{5, 5, 100, 100}},
      {"decorations counted", {decorated}, Rect{9, 10, 502, 421}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(settingsWindowFrame(snapshotOf(c.windows)), c.frame);
  }
}

TEST(SettingsGuide, Origin) {
  EXPECT_EQ(guideOrigin({100, 200, 800, 600}, 1), (PanelOrigin{300, 812}));
  EXPECT_EQ(guideOrigin({100, 200, 800, 600}, 2), (PanelOrigin{100, 824}));
  EXPECT_EQ(guideOrigin({0, 900, 300, 170}, 1), (PanelOrigin{-50, 1082}));  // not clamped
}

// "create screenRecording", "move 300 812", "front", "out", "fade".
struct RecordingPanel : GuidePanel {
  void create(Permission permission) override {
    calls.push_back("create " + std::string(rawValue(permission)));
  }
  void moveTo(int x, int y) override {
    calls.push_back("move " + std::to_string(x) + " " + std::to_string(y));
  }
  void orderFront() override { calls.push_back("front"); }
  void orderOut() override { calls.push_back("out"); }
  void fadeOut() override { calls.push_back("fade"); }
  std::vector<std::string> calls;
};

struct GuideHarness {
  boost::asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<desktop::FakeWindowSystem> windows =
      std::make_shared<desktop::FakeWindowSystem>();
  std::shared_ptr<RecordingPanel> panel = std::make_shared<RecordingPanel>();
  std::shared_ptr<SettingsGuide> guide =
      SettingsGuide::make(windows, panel, clock, io.get_executor(), 1);

  std::vector<std::string> callsDuring(runtime::Duration duration) {
    panel->calls.clear();
    testing::runFor(io, *clock, duration);
    return panel->calls;
  }
};

TEST(SettingsGuide, ShowingTwiceKeepsOneFollowTick) {
  GuideHarness h;
  h.windows->set(snapshotOf({window("systemsettings", {100, 200, 800, 600})}));
  h.guide->show(Permission::screenRecording);
  h.guide->show(Permission::accessibility);
  EXPECT_EQ(h.panel->calls,
            (std::vector<std::string>{"create screenRecording", "move 300 812", "front", "fade",
                                      "create accessibility", "move 300 812", "front"}));
  EXPECT_EQ(h.callsDuring(200ms), std::vector<std::string>{"move 300 812"});
  h.panel->calls.clear();
  h.guide->dismiss();
  h.guide->dismiss();
  EXPECT_EQ(h.panel->calls, std::vector<std::string>{"fade"});
  EXPECT_TRUE(h.callsDuring(1s).empty());
}

TEST(SettingsGuide, OffWithoutASettingsWindowAndBackAtTheNextTick) {
  GuideHarness h;
  h.guide->show(Permission::accessibility);
  EXPECT_EQ(h.panel->calls, (std::vector<std::string>{"create accessibility", "out", "front"}));
  EXPECT_EQ(h.callsDuring(200ms), std::vector<std::string>{"out"});
  h.windows->set(snapshotOf({window("Gnome-control-center", {100, 200, 800, 600})}));
  EXPECT_EQ(h.callsDuring(200ms), std::vector<std::string>{"move 300 812"});
  h.windows->set(snapshotOf({}));
  EXPECT_EQ(h.callsDuring(200ms), std::vector<std::string>{"out"});
  h.guide.reset();
  EXPECT_TRUE(h.callsDuring(1s).empty());
}

}  // namespace
}  // namespace brindlet::app
