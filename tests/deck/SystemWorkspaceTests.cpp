// The workspace over the real window system: Xvfb with openbox, xterms of their own classes,
// and two windows of this test's own process.

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>

#include <gtest/gtest.h>

#include "deck/ActionRunner.h"
#include "deck/SystemWorkspace.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/OwnWindows.h"
#include "support/XClientOutput.h"
#include "support/XServer.h"

namespace brindlet::deck {

void PrintTo(const FrontApp& app, std::ostream* out) {
  *out << app.bundleID << " \"" << app.name << "\" " << app.pid;
}

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using desktop::WindowSnapshot;
using testsupport::ChildProcess;
using testsupport::TempDir;
using testsupport::XServer;
using SteadyClock = std::chrono::steady_clock;

class WorkspaceUnderOpenbox : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::startWindowManager(server);
    // The only desktop entries are ours (openbox, started before, finds its own theme).
    std::filesystem::create_directories(entries.file("applications"));
    entries.write("applications/alpha.desktop",
                  "[Desktop Entry]\nName=Alpha Terminal\nStartupWMClass=BrindletAlpha\n"
                  "[Desktop Action new]\nName=New Alpha\n");
    ::setenv("XDG_DATA_HOME", entries.path().c_str(), 1);
    ::setenv("XDG_DATA_DIRS", entries.file("none").c_str(), 1);
    windows =
        brindlet::testing::runUntilDone(io(), platform::X11WindowSystem::open(server.display()));
    workspace = std::make_unique<SystemWorkspace>(io().get_executor(), *windows);
  }
  void TearDown() override {
    for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS"}) ::unsetenv(name);
  }

  asio::io_context& io() { return loop.context(); }

  std::unique_ptr<ChildProcess> xterm(const std::string& windowClass, const std::string& title) {
    auto client = server.start({"xterm", "-class", windowClass, "-title", title, "-geometry",
                                "60x10", "-e", "sleep", "600"});
    // openbox gives each new window the focus: the test goes on once it has.
    EXPECT_TRUE(until([&] {
      const auto id = idOf(windowClass);
      return id != 0 && windows->snapshot().active == id;
    })) << windowClass;
    return client;
  }

  bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    return brindlet::testing::runUntil(io(), condition, timeout);
  }

  desktop::WindowId idOf(const std::string& windowClass) {
    for (const auto& w : windows->snapshot().windows)
      if (w.windowClass == windowClass) return w.id;
    return 0;
  }

  void activateByWmctrl(desktop::WindowId id) {
    server.run({"wmctrl", "-i", "-a", std::to_string(id)});
    EXPECT_TRUE(until([&] { return windows->snapshot().active == id; })) << id;
  }

  bool activate(const std::string& bundleID, runtime::Duration timeout) {
    return brindlet::testing::runUntilDone(io(), workspace->activate(bundleID, timeout));
  }

  TempDir entries;
  XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<platform::X11WindowSystem> windows;
  std::unique_ptr<SystemWorkspace> workspace;
};

TEST_F(WorkspaceUnderOpenbox, FollowsTheAppInFront) {
  auto alpha = xterm("BrindletAlpha", "alpha");
  auto beta = xterm("BrindletBeta", "beta");
  testsupport::OwnWindows own(server.display(), "BrindletSelf", {"report one", "report two"});
  ASSERT_TRUE(until([&] { return windows->snapshot().windows.size() == 4; }));
  activateByWmctrl(own.ids[1]);
  const pid_t self = ::getpid();

  activateByWmctrl(idOf("BrindletAlpha"));
  auto apps = workspace->frontApps();
  std::vector<FrontApp> seen;
  auto reader =
      runtime::spawn(io().get_executor(), [](auto apps, auto& seen) -> asio::awaitable<void> {
        while (auto app = co_await apps->next()) seen.push_back(*app);
      }(apps, seen));

  activateByWmctrl(idOf("BrindletBeta"));
  activateByWmctrl(own.ids[0]);
  activateByWmctrl(own.ids[1]);
  activateByWmctrl(idOf("BrindletAlpha"));
  brindlet::testing::drain(io());
  const FrontApp alphaApp{"BrindletAlpha", "Alpha Terminal", alpha->pid()};
  const FrontApp betaApp{"BrindletBeta", "BrindletBeta", beta->pid()};
  const FrontApp selfApp{"BrindletSelf", "BrindletSelf", self};
  EXPECT_EQ(seen, (std::vector<FrontApp>{alphaApp, betaApp, selfApp, alphaApp}));
  apps->cancel();
  reader.cancel();

  EXPECT_EQ(workspace->runningApps(), (std::vector<FrontApp>{betaApp, selfApp, alphaApp}))
      << "in the window manager's stacking order, bottom first";
  EXPECT_EQ(workspace->windowTitles(self), (std::vector<std::string>{"report one", "report two"}));

  server.run(
      {"xdotool", "set_window", "--name", "alpha renamed", std::to_string(idOf("BrindletAlpha"))});
  EXPECT_TRUE(
      until([&] { return workspace->focusedWindowTitle(alpha->pid()) == "alpha renamed"; }));
  EXPECT_EQ(workspace->focusedWindowTitle(self), "report two") << "the topmost, none active";

  workspace->raiseWindow(self, "report o");
  EXPECT_TRUE(until([&] { return windows->snapshot().active == own.ids[0]; }));
  workspace->raiseWindow(self, "report");
  EXPECT_TRUE(until([&] { return windows->snapshot().active == own.ids[1]; }))
      << "the first in order: the lower one";
}

TEST_F(WorkspaceUnderOpenbox, ActivatesWithinItsTimeOut) {
  auto alpha = xterm("BrindletAlpha", "alpha");
  auto beta = xterm("BrindletBeta", "beta");
  activateByWmctrl(idOf("BrindletAlpha"));

  auto timed = [&](const std::string& bundleID, runtime::Duration timeout) {
    const auto start = SteadyClock::now();
    const bool front = activate(bundleID, timeout);
    return std::pair(front, SteadyClock::now() - start);
  };
  auto [missing, missingTook] = timed("BrindletNone", 1s);
  EXPECT_FALSE(missing);
  EXPECT_LT(missingTook, 20ms);
  auto [inFront, inFrontTook] = timed("BrindletAlpha", 1s);
  EXPECT_TRUE(inFront);
  EXPECT_LT(inFrontTook, 20ms);
  auto [brought, broughtTook] = timed("BrindletBeta", 1s);
  EXPECT_TRUE(brought);
  EXPECT_LT(broughtTook, 1s);
  EXPECT_EQ(workspace->currentFrontApp().value_or(FrontApp{}).pid, beta->pid());

  // A window manager that does not answer never brings the app forward.
  ::kill(server.windowManagerPid(), SIGSTOP);
  auto [stalled, stalledTook] = timed("BrindletAlpha", 100ms);
  ::kill(server.windowManagerPid(), SIGCONT);
  EXPECT_FALSE(stalled);
  EXPECT_GE(stalledTook, 100ms);
  EXPECT_LT(stalledTook, 100ms + SystemWorkspace::activationPoll + 15ms);
}

TEST_F(WorkspaceUnderOpenbox, KeysReachTheAppInFront) {
  auto xev = server.start({"xev", "-geometry", "600x400+0+0", "-event", "keyboard"});
  // That xev's window is up and has the focus is the window system's state, which cannot be
  // missed the way a line xev prints once can be read too early or too late.
  ASSERT_TRUE(until(
      [&] {
        const auto s = windows->snapshot();
        return s.activeWindow() && s.activeWindow()->title == "Event Tester";
      },
      20s))
      << xev->output();
  auto poster =
      brindlet::testing::runUntilDone(io(), platform::X11EventPoster::open(server.display()));
  const auto released = [&] {
    return std::ranges::any_of(testsupport::xevKeys(xev->output()),
                               [](const auto& key) { return !key.press; });
  };
  // F13 stands in for the keys an app in use has long read.
  ASSERT_TRUE(testsupport::keysReach(*poster, [&] {
    xev->waitFor("\x01", 1ms);
    return released();
  })) << xev->output();

  ActionRunner runner(io().get_executor(), *workspace, *poster);
  using Op = profiles::Action::SystemOp;
  std::vector<profiles::Action> actions{profiles::Action::shortcut("ctrl+shift+a"),
                                        profiles::Action::shortcut("cmd+q")};
  for (auto op : {Op::volumeUp, Op::volumeDown, Op::mute, Op::playPause, Op::next, Op::previous})
    actions.push_back(profiles::Action::system(op));
  for (auto& action : actions)
    brindlet::testing::runUntilDone(io(), runner.run(action, "p/k", std::nullopt, std::nullopt));
  brindlet::testing::runUntilDone(io(), poster->flushed());

  const std::string keys[] = {"state 0x5, keycode 38 (keysym 0x41, A)",
                              "state 0x40, keycode 24 (keysym 0x71, q)",
                              "XF86AudioRaiseVolume)",
                              "XF86AudioLowerVolume)",
                              "XF86AudioMute)",
                              "XF86AudioPlay)",
                              "XF86AudioNext)",
                              "XF86AudioPrev)"};
  for (const auto& key : keys) EXPECT_TRUE(xev->waitFor(key, 10s)) << key << "\n" << xev->output();
  // Every key pressed, modifiers included, goes up again, as the server's key state tells.
  EXPECT_TRUE(until([&] { return !testsupport::anyKeyDown(server.display()); }));
}

}  // namespace
}  // namespace brindlet::deck
