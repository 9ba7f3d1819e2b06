#include "platform/linux/x11/X11WindowSystem.h"

#include <gtest/gtest.h>

#include "desktop/DesktopError.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

using desktop::DesktopError;
using desktop::WindowInfo;
using desktop::WindowSnapshot;
using testing::runUntil;
using testsupport::ChildProcess;
using testsupport::XServer;

class WindowSystemUnderOpenbox : public ::testing::Test {
 protected:
  void SetUp() override {
    server.startWindowManager();
    windows = brindlet::testing::runUntilDone(io(), X11WindowSystem::open(server.display()));
  }

  boost::asio::io_context& io() { return loop.context(); }

  // Starts an xterm of its own class and waits until the window manager lists it.
  std::unique_ptr<ChildProcess> xterm(const std::string& windowClass, const std::string& title) {
    auto client = server.start({"xterm", "-class", windowClass, "-title", title, "-geometry",
                                "60x10", "-e", "sleep", "600"});
    EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) {
      return byClass(s, windowClass) != nullptr;
    })) << windowClass;
    return client;
  }

  bool waitFor(const std::function<bool(const WindowSnapshot&)>& condition) {
    return runUntil(io(), [&] { return condition(windows->snapshot()); });
  }

  static const WindowInfo* byClass(const WindowSnapshot& s, const std::string& windowClass) {
    for (const auto& w : s.windows)
      if (w.windowClass == windowClass) return &w;
    return nullptr;
  }

  WindowInfo window(const std::string& windowClass) {
    auto s = windows->snapshot();
    const WindowInfo* found = byClass(s, windowClass);
    return found ? *found : WindowInfo{};
  }

  static bool onTop(const WindowSnapshot& s, desktop::WindowId id) {
    return !s.windows.empty() && s.windows.back().id == id;
  }

  void await(boost::asio::awaitable<void> operation) {
    brindlet::testing::runUntilDone(io(), std::move(operation));
  }

  XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<X11WindowSystem> windows;
};

TEST_F(WindowSystemUnderOpenbox, SnapshotFollowsTheWindowManager) {
  auto first = xterm("BrindletFirst", "first");
  auto second = xterm("BrindletSecond", "second");
  const WindowInfo a = window("BrindletFirst");
  const WindowInfo b = window("BrindletSecond");

  EXPECT_EQ(a.instance, "xterm");
  EXPECT_EQ(a.pid, first->pid());
  EXPECT_EQ(a.appId(), "BrindletFirst");
  EXPECT_EQ(a.title, "first");
  EXPECT_EQ(a.types, std::vector<std::string>{"normal"});
  EXPECT_FALSE(a.fullScreen);
  EXPECT_FALSE(a.hidden);
  EXPECT_GT(a.extents.top, 0);  // openbox's title bar
  EXPECT_GT(a.geometry.width, 100);

  // Changes made by other programs arrive as events.
  server.run({"wmctrl", "-a", "second"});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == b.id && onTop(s, b.id); }));
  server.run({"wmctrl", "-a", "first"});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == a.id && onTop(s, a.id); }));
  server.run({"xdotool", "set_window", "--name", "renamed", std::to_string(a.id)});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(a.id)->title == "renamed"; }));
  server.run({"wmctrl", "-i", "-r", std::to_string(b.id), "-b", "add,fullscreen"});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(b.id)->fullScreen; }));
  server.run({"xdotool", "windowminimize", std::to_string(a.id)});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(a.id)->hidden; }));

  second.reset();
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(b.id) == nullptr; }));
}

TEST_F(WindowSystemUnderOpenbox, OperationsLandWhereAsked) {
  auto first = xterm("BrindletFirst", "first");
  auto second = xterm("BrindletSecond", "second");
  const WindowInfo a = window("BrindletFirst");
  const WindowInfo b = window("BrindletSecond");

  // openbox may focus the newest window itself; activation comes after that.
  server.run({"wmctrl", "-a", "second"});
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == b.id; }));
  await(windows->activate(a.id));
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == a.id && onTop(s, a.id); }));
  EXPECT_EQ(server.run({"xdotool", "getactivewindow"}).output, std::to_string(a.id) + "\n");

  await(windows->raise(b.id));
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return onTop(s, b.id); }));

  // xterm sizes itself in whole character cells, so its size may fall short by less than one.
  const desktop::Rect frame{100, 120, 500, 300};
  await(windows->moveResize(a.id, frame));
  auto landed = [&](const desktop::Rect& r) {
    return r.x == frame.x && r.y == frame.y && r.width <= frame.width &&
           r.width > frame.width - 16 && r.height <= frame.height && r.height > frame.height - 24;
  };
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return landed(s.find(a.id)->frame()); }));
  // xwininfo reads the same place and size.
  const WindowInfo moved = window("BrindletFirst");
  const std::string info = server.run({"xwininfo", "-id", std::to_string(a.id)}).output;
  for (const std::string& line :
       {"Absolute upper-left X:  " + std::to_string(frame.x + moved.extents.left),
        "Absolute upper-left Y:  " + std::to_string(frame.y + moved.extents.top),
        "Width: " + std::to_string(moved.geometry.width) + "\n",
        "Height: " + std::to_string(moved.geometry.height) + "\n"})
    EXPECT_NE(info.find(line), std::string::npos) << line << " in " << info;
}

TEST_F(WindowSystemUnderOpenbox, AWindowGoneWhileWeActIsAnErrorAndALostServerAnEvent) {
  auto first = xterm("BrindletFirst", "first");
  const WindowInfo a = window("BrindletFirst");
  server.run({"xdotool", "windowkill", std::to_string(a.id)});
  try {
    await(windows->activate(a.id));
    ADD_FAILURE() << "activating a destroyed window succeeded";
  } catch (const DesktopError& e) {
    EXPECT_EQ(e, DesktopError::noSuchWindow(a.id));
  }
  // The connection goes on after the error.
  EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.find(a.id) == nullptr; }));

  server.kill();
  EXPECT_TRUE(waitFor([](const WindowSnapshot& s) { return !s.connected; }));
  EXPECT_TRUE(windows->snapshot().windows.empty());
  try {
    await(windows->raise(a.id));
    ADD_FAILURE() << "a request on a lost connection succeeded";
  } catch (const DesktopError& e) {
    EXPECT_TRUE(std::holds_alternative<DesktopError::Disconnected>(e.payload())) << e.text();
  }
}

}  // namespace
}  // namespace brindlet::platform
