// The phone's extra display on the desktop the app shares with others: what a killed run left,
// the windows on a display that goes, an attach that fails, the X server gone and the phone's bye
// as the display comes up, a pane that meets a busy main loop.

#include <signal.h>

#include <chrono>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"
#include "support/TempDir.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

const std::string kReady = "\"t\":\"displayReady\"";

// The times `text` is in what the phone printed so far, read up to now.
int seen(ChildProcess& phone, const std::string& text) {
  phone.waitFor("\x01", 20ms);
  return count(phone.output(), text);
}
int links(ChildProcess& phone) {
  // Each on a line of its own, after the phone's listening line.
  return seen(phone, "\nconnected(") - seen(phone, "\ndisconnected(");
}
// Waits until the phone has printed `text` more than `before` times.
bool more(ChildProcess& phone, const std::string& text, int before) {
  return testsupport::eventually([&] { return seen(phone, text) > before; }, 15s, 50ms);
}

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

bool within(const Geometry& g, const testsupport::Monitor& m) {
  return g.x >= m.x && g.y >= m.y && g.x + g.width <= m.x + m.width &&
         g.y + g.height <= m.y + m.height;
}

class AppDisplayPeer : public AppPeer {
 protected:
  static std::vector<testsupport::Monitor> ours() {
    std::vector<testsupport::Monitor> found;
    for (const auto& m : testsupport::monitors(*x_))
      if (m.name.ends_with(" (Brindlet)")) found.push_back(m);
    return found;
  }

  static Geometry geometryOf(const std::string& window) {
    std::istringstream lines(x_->run({"xdotool", "getwindowgeometry", "--shell", window}).output);
    Geometry g;
    for (std::string line; std::getline(lines, line);) {
      const auto equals = line.find('=');
      if (equals == std::string::npos) continue;
      const std::string key = line.substr(0, equals);
      const int value = std::stoi(line.substr(equals + 1));
      if (key == "X") g.x = value;
      if (key == "Y") g.y = value;
      if (key == "WIDTH") g.width = value;
      if (key == "HEIGHT") g.height = value;
    }
    return g;
  }

  // Wholly on a monitor that is not the phone's.
  static bool onARemainingMonitor(const std::string& window) {
    const Geometry g = geometryOf(window);
    for (const auto& m : testsupport::monitors(*x_))
      if (!m.name.ends_with(" (Brindlet)") && within(g, m)) return true;
    return false;
  }

  // The app on a server of its own, `marker` in its environment and so in that of whatever it
  // starts.
  ChildProcess& startOn(const XServer& server, const std::string& marker,
                        const std::string& socket) {
    const std::string home = home_->path();
    children_.push_back(
        server.start({"env", marker, "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                      "XDG_CACHE_HOME=" + home + "/cache", "USBMUXD_SOCKET_ADDRESS=UNIX:" + socket,
                      app, "--log-both"}));
    return *children_.back();
  }
  void stopAll() {
    for (auto& child : children_) child->stop();
    children_.clear();
  }

  // The app with the phone connected; the phone's pane lights the display when `pane`.
  ChildProcess& startWithPhone(ChildProcess& phone, const std::string& socket, bool pane = true) {
    // The phone's end of an earlier run's link is gone first: its late end would take the new
    // link's place in the phone's commands.
    EXPECT_TRUE(testsupport::eventually([&] { return links(phone) == 0; }, 5s, 50ms))
        << phone.output();
    auto& brindlet = start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket});
    EXPECT_TRUE(testsupport::eventually([&] { return links(phone) > 0; }, 15s, 50ms))
        << phone.output() << brindlet.output();
    if (pane) {
      const int ready = seen(phone, kReady);
      phone.write("pane 393 852 3\n");
      EXPECT_TRUE(more(phone, kReady, ready)) << phone.output() << brindlet.output();
      EXPECT_TRUE(awaitOurMonitor());
    }
    return brindlet;
  }
};

TEST_F(AppDisplayPeer, ANewStartReclaimsTheDisplayAKilledRunLeft) {
  testsupport::TempDir run;
  auto [phone, socket] = usbPhone(run);
  auto& killed = startWithPhone(*phone, socket);
  kill(killed.pid(), SIGKILL);
  killed.waitExit(5s);
  ASSERT_EQ(ours().size(), 1u);  // left lit, as a crash leaves it

  auto& brindlet = startWithPhone(*phone, socket);
  const auto shown = ours();
  ASSERT_EQ(shown.size(), 1u) << x_->run({"xrandr", "--listmonitors"}).output;
  // Lit: the first monitor's output and the display's, nothing else.
  const auto all = testsupport::monitors(*x_);
  ASSERT_EQ(all.size(), 2u) << x_->run({"xrandr", "--listmonitors"}).output;
  EXPECT_EQ(all[1].output, shown[0].output);
  EXPECT_EQ(shown[0].x, all[0].width);
  EXPECT_TRUE(brindlet.waitFor("Switched off leftover output", 2s)) << brindlet.output();

  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
  EXPECT_TRUE(ours().empty());
}

TEST_F(AppDisplayPeer, WindowsLeaveTheDisplayBeforeItGoes) {
  testsupport::TempDir run;
  auto [phone, socket] = usbPhone(run);
  auto& term = start({"xterm", "-class", "Evacuee", "-e", "sleep", "300"});
  const auto found =
      x_->run({"xdotool", "search", "--sync", "--onlyvisible", "--class", "Evacuee"});
  const std::string window = found.output.substr(0, found.output.find('\n'));
  ASSERT_FALSE(window.empty()) << term.output();
  // On the phone's display, the pointer on the first monitor.
  auto placeOnDisplay = [&] {
    const auto display = ourMonitor();
    ASSERT_TRUE(display);
    x_->run({"xdotool", "windowmove", "--sync", window, std::to_string(display->x + 88), "100"});
    x_->run({"xdotool", "mousemove", "10", "10"});
    ASSERT_TRUE(
        testsupport::eventually([&] { return geometryOf(window).x >= display->x; }, 5s, 50ms));
  };

  // Quit.
  auto& first = startWithPhone(*phone, socket);
  placeOnDisplay();
  kill(first.pid(), SIGTERM);
  EXPECT_EQ(first.waitExit(5s), 0) << first.output();
  EXPECT_TRUE(ours().empty());
  EXPECT_TRUE(testsupport::eventually([&] { return onARemainingMonitor(window); }, 3s, 50ms))
      << geometryOf(window).x << " " << first.output();

  // The phone's bye.
  auto& second = startWithPhone(*phone, socket);
  placeOnDisplay();
  phone->write("close\n");
  EXPECT_TRUE(testsupport::eventually([] { return ours().empty(); }, 15s, 50ms));
  EXPECT_TRUE(testsupport::eventually([&] { return onARemainingMonitor(window); }, 3s, 50ms))
      << geometryOf(window).x << " " << second.output();
  kill(second.pid(), SIGTERM);
  EXPECT_EQ(second.waitExit(5s), 0);
}

// Every spare output lit by someone else once the app has started leaves none for the display:
// the menu says why the phone got none, and the other outputs stay lit.
TEST_F(AppDisplayPeer, AFailedAttachShowsInTheMenu) {
  testsupport::TempDir run;
  auto [phone, socket] = usbPhone(run);
  auto& brindlet = startWithPhone(*phone, socket, false);
  const std::string wall = "Wall 64x64";
  ASSERT_EQ(
      x_->run({"xrandr", "--newmode", wall, "1", "64", "72", "80", "96", "64", "67", "70", "72"})
          .status,
      0);
  const int left = testsupport::monitors(*x_).at(0).width;
  for (int output = 1; output < 16; ++output) {
    const std::string name = "DUMMY" + std::to_string(output);
    x_->run({"xrandr", "--addmode", name, wall});
    x_->run({"xrandr", "--output", name, "--mode", wall, "--pos",
             std::to_string(left + 64 * output) + "x0"});
  }
  const auto lit = testsupport::monitors(*x_).size();
  phone->write("pane 393 852 3\n");
  EXPECT_TRUE(
      testsupport::eventually([] { return menuShows("Display: creationFailed"); }, 10s, 200ms))
      << accessibles(true) << brindlet.output();
  EXPECT_TRUE(ours().empty());
  EXPECT_EQ(testsupport::monitors(*x_).size(), lit);

  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
  for (int output = 1; output < 16; ++output) {
    const std::string name = "DUMMY" + std::to_string(output);
    x_->run({"xrandr", "--output", name, "--off"});
    x_->run({"xrandr", "--delmode", name, wall});
  }
  x_->run({"xrandr", "--rmmode", wall});
}

// The X server killed at 20 moments spread over the first 15 ms after the phone's pane, while
// the display is being lit: the app ends with a status of its own, and leaves no discovery file
// and nothing it started.
TEST_F(AppDisplayPeer, EndsCleanlyWhenXGoesAsTheDisplayIsLit) {
  std::map<int, int> statuses;
  for (int run = 0; run < 20 && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    XServer own(XServer::Kind::xorgDummy);
    testsupport::TempDir folder;
    auto [phone, socket] = usbPhone(folder);
    const std::string marker =
        "BRINDLET_LIT_RUN=" + std::to_string(getpid()) + "." + std::to_string(run);
    auto& brindlet = startOn(own, marker, socket);
    ASSERT_TRUE(testsupport::eventually([] { return fs::exists(serverJson()); }, 15s, 50ms))
        << brindlet.output();
    ASSERT_TRUE(phone->waitFor("connected(", 15s)) << phone->output() << brindlet.output();
    phone->write("pane 393 852 3\n");
    std::this_thread::sleep_for(std::chrono::microseconds(run * 15000 / 19));
    own.kill();
    const auto status = brindlet.waitExit(10s);
    ASSERT_TRUE(status) << brindlet.output();
    ++statuses[*status];
    EXPECT_LT(*status, 128) << "ended by a signal\n" << brindlet.output();
    EXPECT_FALSE(fs::exists(serverJson())) << brindlet.output();
    EXPECT_FALSE(fs::exists(serverJson().parent_path() / "server.headers"));
    EXPECT_TRUE(testsupport::eventually([&] { return processesMarked(marker).empty(); }, 2s, 50ms))
        << processesMarked(marker);
    stopAll();
  }
  std::cout << "exit statuses:";
  for (const auto& [status, times] : statuses) std::cout << " " << status << "×" << times;
  std::cout << "\n";
}

// The phone says bye the moment its display is ready, while the app is still starting the
// stream, and stops listening, so that no new link brings the display back: the bye is honoured
// and the display goes at once.
TEST_F(AppDisplayPeer, AByeAsTheDisplayComesUpReleasesItAtOnce) {
  for (int run = 0; run < 10 && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    testsupport::TempDir folder;
    auto [phone, socket] = usbPhone(folder);
    auto& brindlet = startWithPhone(*phone, socket, false);
    phone->write("stop-on-ready\npane 393 852 3\n");
    ASSERT_TRUE(phone->waitFor("stopped on displayReady", 15s))
        << phone->output() << brindlet.output();
    EXPECT_TRUE(testsupport::eventually([] { return ours().empty(); }, 1s, 20ms))
        << brindlet.output();
    EXPECT_TRUE(brindlet.waitFor("Client said bye: userDisconnected", 2s)) << brindlet.output();
    EXPECT_EQ(count(brindlet.output(), "Client dropped"), 0) << brindlet.output();
    kill(brindlet.pid(), SIGTERM);
    EXPECT_EQ(brindlet.waitExit(5s), 0) << brindlet.output();
    stopAll();
  }
}

// A phone sends its pane the moment it is linked, and the app's main loop may be busy just then
// (the app starting with the phone plugged in, a slow deck tick, a loaded machine): held by the
// test hook as the link comes, the loop finds the pane waiting once it goes on, and the display
// is announced and captured once.
TEST_F(AppDisplayPeer, APaneThatWaitsForTheHeldLoopIsAppliedOnce) {
  for (int run = 0; run < 20 && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    testsupport::TempDir folder;
    auto [phone, socket] = usbPhone(folder);
    auto& brindlet =
        start({app}, {"BRINDLET_TEST_HOOKS=1", "USBMUXD_SOCKET_ADDRESS=UNIX:" + socket});
    ASSERT_TRUE(phone->waitFor("connecting", 15s)) << phone->output() << brindlet.output();
    kill(brindlet.pid(), SIGUSR1);
    ASSERT_TRUE(phone->waitFor("connected(", 15s)) << phone->output() << brindlet.output();
    phone->write("pane 393 852 3\n");
    ASSERT_TRUE(more(*phone, kReady, 0)) << phone->output() << brindlet.output();
    EXPECT_TRUE(brindlet.waitFor("Capturing display", 10s)) << brindlet.output();
    // A second announcement and capture would come with the second attach, well within this.
    std::this_thread::sleep_for(500ms);
    brindlet.waitFor("\x01", 20ms);
    EXPECT_EQ(seen(*phone, kReady), 1) << phone->output() << brindlet.output();
    EXPECT_EQ(count(brindlet.output(), "Capturing display"), 1) << brindlet.output();
    EXPECT_EQ(ours().size(), 1u);
    kill(brindlet.pid(), SIGTERM);
    EXPECT_EQ(brindlet.waitExit(5s), 0) << brindlet.output();
    stopAll();
  }
}

}  // namespace
}  // namespace brindlet::app::testing
