// The app's windows as the keyboard and the window manager reach them: Ctrl+Q quits from the
// welcome window, and a covered or minimised welcome window costs no more than a closed one.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using testsupport::coresOver;

class AppKeysPeer : public AppPeer {
 protected:
  static void SetUpTestSuite() {
    AppPeer::SetUpTestSuite();
    // Animations on, as most users have them: the welcome window's backdrop moves.
    std::ofstream(fs::path(home_->path()) / "config/glib-2.0/settings/keyfile")
        << "[org/gnome/desktop/interface]\nenable-animations=true\n";
  }

  // The app on a first run: the welcome window open.
  ChildProcess& startWelcomed() {
    fs::remove(fs::path(home_->path()) / "config/brindlet/defaults.json");
    auto& brindlet = start({app});
    EXPECT_TRUE(testsupport::eventually([] { return welcomeShown(); }, 10s, 50ms))
        << brindlet.output();
    return brindlet;
  }
};

TEST_F(AppKeysPeer, CtrlQInTheWelcomeWindowQuits) {
  auto& brindlet = startWelcomed();
  ASSERT_TRUE(keyInWelcome("ctrl+q"));
  EXPECT_EQ(brindlet.waitExit(3s), 0) << brindlet.output();
}

TEST_F(AppKeysPeer, ACoveredOrMinimisedWelcomeWindowDrawsNothing) {
  auto& brindlet = startWelcomed();
  const std::string id = welcomeWindow();
  ASSERT_FALSE(id.empty());
  std::this_thread::sleep_for(1s);  // past the first page's arrival
  const double shown = coresOver(brindlet.pid(), 10s);

  // A terminal over the whole screen, the window manager's frame of it included.
  auto& cover = start({"xterm", "-title", "Cover", "-e", "sleep", "300"});
  const auto found = x_->run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Cover$"});
  const std::string coverId = found.output.substr(0, found.output.find('\n'));
  ASSERT_FALSE(coverId.empty());
  std::istringstream screen(x_->run({"xdotool", "getdisplaygeometry"}).output);
  int width = 0, height = 0;
  screen >> width >> height;
  x_->run({"xdotool", "windowmove", "--sync", coverId, "0", "0"});
  x_->run({"xdotool", "windowsize", "--sync", coverId, std::to_string(width + 100),
           std::to_string(height + 100)});
  x_->run({"xdotool", "windowraise", coverId});
  std::this_thread::sleep_for(500ms);
  const double covered = coresOver(brindlet.pid(), 10s);
  cover.stop();

  x_->run({"xdotool", "windowminimize", "--sync", id});
  ASSERT_TRUE(testsupport::eventually([] { return !welcomeShown(); }, 3s, 50ms));
  std::this_thread::sleep_for(500ms);
  const double minimised = coresOver(brindlet.pid(), 10s);

  // Escape closes it as its close control does.
  ASSERT_TRUE(keyInWelcome("Escape"));
  ASSERT_TRUE(testsupport::eventually([] { return welcomeWindow().empty(); }, 3s, 50ms));
  std::this_thread::sleep_for(500ms);
  const double closed = coresOver(brindlet.pid(), 10s);
  std::printf(
      "the app's cores with the welcome window shown: %.4f, covered: %.4f, minimised: %.4f, "
      "closed: %.4f\n",
      shown, covered, minimised, closed);
  EXPECT_LE(covered, closed + 0.01);
  EXPECT_LE(minimised, closed + 0.01);
}

}  // namespace
}  // namespace brindlet::app::testing
