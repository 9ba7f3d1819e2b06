#include <gtest/gtest.h>

#include "platform/linux/x11/X11WindowSystem.h"
#include "runtime/MainLoop.h"
#include "runtime/MemoryDefaults.h"
#include "session/WindowFollower.h"
#include "support/Loop.h"
#include "support/OwnWindows.h"
#include "support/XServer.h"

namespace brindlet::session {
namespace {

using namespace std::chrono_literals;
using desktop::Rect;
using desktop::WindowInfo;
using desktop::WindowSnapshot;
using testing::runUntil;
using testsupport::ChildProcess;
using testsupport::XServer;

// The phone's monitor: the right third of the 1920 × 1080 screen.
const Rect kPhone{1280, 0, 640, 1080};

class WindowFollowerUnderOpenbox : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::startWindowManager(server);
    windows = testing::runUntilDone(io(), platform::X11WindowSystem::open(server.display()));
    follower = std::make_unique<WindowFollower>(
        WindowFollower::Options{io().get_executor(), *windows, runtime::Clock::system(), defaults});
  }

  boost::asio::io_context& io() { return loop.context(); }

  // An xterm of its own class, `cells` "columns x rows", once the window manager has framed it:
  // until then its frame is only its own area.
  std::unique_ptr<ChildProcess> xterm(const std::string& windowClass, const std::string& cells) {
    // At the top left, away from the phone's monitor.
    auto client = server.start(
        {"xterm", "-class", windowClass, "-geometry", cells + "+0+0", "-e", "sleep", "600"});
    EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) {
      const WindowInfo* w = byClass(s, windowClass);
      return w && w->extents.top > 0;
    })) << windowClass;
    return client;
  }

  bool waitFor(const std::function<bool(const WindowSnapshot&)>& condition,
               std::chrono::milliseconds timeout = 10s) {
    return runUntil(
        io(), [&] { return condition(windows->snapshot()); }, timeout);
  }

  static const WindowInfo* byClass(const WindowSnapshot& s, const std::string& windowClass) {
    for (const auto& w : s.windows)
      if (w.windowClass == windowClass) return &w;
    return nullptr;
  }

  WindowInfo window(const std::string& windowClass) {
    const auto s = windows->snapshot();
    const WindowInfo* found = byClass(s, windowClass);
    return found ? *found : WindowInfo{};
  }

  void activate(desktop::WindowId id) {
    testing::runUntilDone(io(), windows->activate(id));
    EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == id; }));
  }

  // Waits until the window of the class has been moved to where the follower fits its
  // `before` frame. xterm sizes itself in whole character cells, so it may come out smaller by
  // less than a cell, and the window manager keeps its top left corner.
  bool movedToFit(const std::string& windowClass, Rect before) {
    const auto expected = fit(before.width, before.height, {kPhone});
    if (!expected) return false;
    return waitFor(
        [&](const WindowSnapshot& s) {
          const WindowInfo* w = byClass(s, windowClass);
          if (!w) return false;
          const Rect r = w->frame();
          return r.x == expected->x && r.y == expected->y && r.width <= expected->width &&
                 r.width > expected->width - 16 && r.height <= expected->height &&
                 r.height > expected->height - 24;
        },
        4s);
  }

  // Lets the follower look a few times.
  void settle() {
    runUntil(
        io(), [] { return false; }, 400ms);
  }

  runtime::LogCapture logs;
  XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<platform::X11WindowSystem> windows;
  runtime::MemoryDefaults defaults;
  std::unique_ptr<WindowFollower> follower;
};

TEST_F(WindowFollowerUnderOpenbox, NewWindowsElsewhereComeOntoThePhonesMonitor) {
  auto fullScreen = xterm("BrindletFullScreen", "60x10");
  server.run({"wmctrl", "-x", "-r", "BrindletFullScreen", "-b", "add,fullscreen"});
  ASSERT_TRUE(waitFor([&](const WindowSnapshot& s) {
    const WindowInfo* w = byClass(s, "BrindletFullScreen");
    return w && w->fullScreen;
  }));
  testsupport::OwnWindows own(server.display(), "BrindletSelf", {"ours"});
  ASSERT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(own.ids.front()); }));
  auto before = xterm("BrindletBefore", "60x10");
  activate(window("BrindletBefore").id);
  const WindowSnapshot atArming = windows->snapshot();

  follower->arm(kPhone);
  settle();
  // Newly focused, but full screen, and then one of this process's own.
  activate(window("BrindletFullScreen").id);
  settle();
  activate(own.ids.front());
  settle();
  // A new window larger than the phone's monitor: fitted into it.
  auto large = xterm("BrindletLarge", "200x90");
  EXPECT_TRUE(movedToFit("BrindletLarge", {0, 0, 2000, 2000}));

  for (const auto& w : atArming.windows)
    EXPECT_EQ(windows->snapshot().find(w.id)->frame(), w.frame()) << w.windowClass << " moved";

  // Two more, one after the other, after the next touch.
  follower->arm(kPhone);
  auto first = xterm("BrindletFirst", "60x10");
  const Rect firstFrame = window("BrindletFirst").frame();
  EXPECT_TRUE(movedToFit("BrindletFirst", firstFrame));
  auto second = xterm("BrindletSecond", "70x12");
  const Rect secondFrame = window("BrindletSecond").frame();
  EXPECT_TRUE(movedToFit("BrindletSecond", secondFrame));
  // Three moves and no more; the window manager may report a new place before the follower hears
  // that its request went out.
  settle();
  EXPECT_EQ(logs.messages("windows", runtime::LogLevel::info),
            std::vector<std::string>(3, "Moved a new window onto the phone's display"));
}

}  // namespace
}  // namespace brindlet::session
