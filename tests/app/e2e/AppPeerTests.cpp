// The app as a user runs it: the real binary on Xorg with the dummy driver, openbox and trayer,
// a private home and a session bus with an unlocked keyring, and a scripted phone behind a
// stand-in usbmuxd.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/SessionBus.h"
#include "support/TempDir.h"
#include "support/Trayer.h"
#include "support/UsbPhone.h"
#include "support/XServer.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::XServer;
namespace fs = std::filesystem;

const std::string build = BRINDLET_BINARY_DIR;
const std::string app = build + "/bin/brindlet";

class AppPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new testsupport::TempDir;
    testsupport::usePrivateHome(home_->path());
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("XCTestConfigurationFilePath");
    bus_ = testsupport::startSessionBus(
               home_->path(),
               "echo | gnome-keyring-daemon --foreground --unlock --components=secrets "
               ">/dev/null 2>&1",
               "org.freedesktop.secrets")
               .release();
    x_ = new XServer(XServer::Kind::xorgDummy);
    x_->startWindowManager();
    trayer_ = testsupport::startTrayer(*x_).release();
  }
  static void TearDownTestSuite() {
    delete trayer_;
    delete x_;
    delete bus_;
    delete home_;
  }
  void TearDown() override {
    for (auto& child : children_) child->stop();
  }

  ChildProcess& start(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
    // The X server's runner points HOME and the config folder at its own; the app's are the
    // private home's.
    const std::string home = home_->path();
    std::vector<std::string> line{"env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                                  "XDG_CACHE_HOME=" + home + "/cache"};
    line.insert(line.end(), environment.begin(), environment.end());
    line.insert(line.end(), argv.begin(), argv.end());
    children_.push_back(x_->start(line));
    return *children_.back();
  }
  // The scripted phone on the port, behind a stand-in usbmuxd on a socket in `folder`; the
  // socket's path.
  std::pair<ChildProcess*, std::string> usbPhone(int port, const testsupport::TempDir& folder) {
    auto usb = testsupport::startUsbPhone(build, folder.path(), port);
    children_.push_back(std::move(usb.phone));
    ChildProcess* phone = children_.back().get();
    children_.push_back(std::move(usb.usbmuxd));
    return {phone, usb.socket};
  }
  static fs::path data() { return fs::path(home_->path()) / "data"; }
  static fs::path serverJson() { return data() / "com.velvane.mac/agents/server.json"; }
  static bool docked() {
    return testsupport::dockedIcon(*x_, "(\"brindlet\" \"Brindlet\")").has_value();
  }
  static bool welcomeShown() {
    return x_->run({"xdotool", "search", "--onlyvisible", "--name", "Welcome to Brindlet"})
               .status == 0;
  }
  // Return in the welcome window, once it is the active window.
  static bool pressReturn() {
    const auto ids =
        x_->run({"xdotool", "search", "--onlyvisible", "--name", "Welcome to Brindlet"});
    const std::string id = ids.output.substr(0, ids.output.find('\n'));
    if (id.empty()) return false;
    const bool active = testsupport::eventually(
        [&] {
          x_->run({"xdotool", "windowactivate", id});
          return x_->run({"xdotool", "getactivewindow"}).output.find(id) == 0;
        },
        3s, 100ms);
    x_->run({"xdotool", "key", "Return"});
    return active;
  }
  static bool ourMonitor() {
    for (const auto& m : testsupport::monitors(*x_))
      if (m.width == 1178 && m.height == 2556) return true;
    return false;
  }

  static testsupport::TempDir* home_;
  static ChildProcess* bus_;
  static XServer* x_;
  static ChildProcess* trayer_;
  std::vector<std::unique_ptr<ChildProcess>> children_;
};

testsupport::TempDir* AppPeer::home_ = nullptr;
ChildProcess* AppPeer::bus_ = nullptr;
XServer* AppPeer::x_ = nullptr;
ChildProcess* AppPeer::trayer_ = nullptr;

TEST_F(AppPeer, OnboardingWalksWithReturnAndIsNotShownAgain) {
  const auto config = fs::path(home_->path()) / "config";
  fs::remove(config / "brindlet/defaults.json");
  auto& brindlet = start({app});
  ASSERT_TRUE(testsupport::eventually([] { return welcomeShown(); }, 10s, 50ms))
      << brindlet.output();
  // Get Started, Continue (screen recording is granted on X), Turn On (granted, and the page
  // moves on by itself), Skip for Now, Done.
  const std::vector<std::chrono::milliseconds> pauses{800ms, 800ms, 2500ms, 800ms, 800ms};
  for (auto pause : pauses) {
    EXPECT_TRUE(pressReturn());
    std::this_thread::sleep_for(pause);
  }
  const auto defaults = config / "brindlet/defaults.json";
  ASSERT_TRUE(testsupport::eventually(
      [&] {
        return fs::exists(defaults) &&
               testsupport::readFile(defaults.string()).find("\"onboardingComplete\":true") !=
                   std::string::npos;
      },
      5s, 50ms))
      << (fs::exists(defaults) ? testsupport::readFile(defaults.string()) : "no defaults");
  EXPECT_EQ(testsupport::readFile(defaults.string()).find("onboardingStep"), std::string::npos);
  EXPECT_TRUE(fs::exists(config / "autostart/brindlet.desktop"));
  EXPECT_TRUE(testsupport::eventually([] { return !welcomeShown(); }, 3s, 50ms));
  kill(brindlet.pid(), SIGTERM);
  ASSERT_EQ(brindlet.waitExit(5s), 0);

  // A new start opens no welcome window.
  auto& again = start({app});
  EXPECT_TRUE(testsupport::eventually([] { return docked(); }, 10s, 50ms));
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(welcomeShown());
  kill(again.pid(), SIGTERM);
  EXPECT_EQ(again.waitExit(5s), 0);
}

TEST_F(AppPeer, RunsAPhoneSessionAndCleansUpOnSigterm) {
  fs::remove(fs::path(home_->path()) / "config/brindlet/defaults.json");  // a first run
  testsupport::TempDir run;
  auto [phonePointer, socket] = usbPhone(39517, run);
  auto& phone = *phonePointer;
  auto& brindlet = start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket});

  // Start: the icon docks, the welcome window opens, the hook server publishes itself.
  EXPECT_TRUE(testsupport::eventually([] { return docked(); }, 10s, 50ms)) << brindlet.output();
  EXPECT_TRUE(testsupport::eventually([] { return welcomeShown(); }, 5s, 50ms));
  ASSERT_TRUE(testsupport::eventually([] { return fs::exists(serverJson()); }, 10s, 50ms));
  const auto published = testsupport::readFile(serverJson().string());

  // A second copy says so, exits 1 and changes nothing.
  const auto second = x_->run({"sh", "-c", "exec \"$0\" 2>&1", app});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.output.find("Brindlet is already running"), std::string::npos) << second.output;
  EXPECT_EQ(testsupport::readFile(serverJson().string()), published);

  // The phone comes in over USB at once, and its pane brings the extra display.
  ASSERT_TRUE(phone.waitFor("connected(", 15s)) << phone.output() << brindlet.output();
  EXPECT_NE(phone.output().find(", USB)"), std::string::npos);
  phone.write("pane 393 852 3\n");
  EXPECT_TRUE(phone.waitFor("\"t\":\"displayReady\",\"w\":589", 15s)) << phone.output();
  EXPECT_TRUE(testsupport::eventually([] { return ourMonitor(); }, 5s, 50ms));
  EXPECT_TRUE(phone.waitFor("frame video", 10s));

  // SIGTERM: everything X11 would keep is gone within the limit, and the app exits 0.
  const auto asked = std::chrono::steady_clock::now();
  kill(brindlet.pid(), SIGTERM);
  const auto status = brindlet.waitExit(5s);
  const auto took = std::chrono::steady_clock::now() - asked;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << brindlet.output();
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(fs::exists(serverJson()));
  EXPECT_FALSE(fs::exists(serverJson().parent_path() / "server.headers"));
  EXPECT_FALSE(ourMonitor());
  EXPECT_TRUE(phone.waitFor("disconnected(", 5s)) << phone.output();
}

std::string deckProfile(const std::string& name) {
  return R"({"schema":1,"id":"com.test.)" + name + R"(","name":")" + name + R"(","apps":[")" +
         name +
         R"("],"layouts":{"compact":["sleep"],"regular":["sleep"]},"keys":{"sleep":{"label":"Sleep","symbol":"moon","action":{"kind":"shell","command":"sleep 600"}}}})";
}

int count(const std::string& text, const std::string& part) {
  int found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

bool sleeping() {
  return testsupport::runProgram({"pgrep", "-f", "^sleep 600$"}).status == 0;
}

TEST_F(AppPeer, DeckAndAgentsReachThePhoneAndEndWithTheApp) {
  testsupport::TempDir run;
  const auto profiles = data() / "Brindlet/Profiles";
  fs::create_directories(profiles);
  for (const std::string name : {"DeckA", "DeckB"}) {
    std::ofstream(profiles / (name + ".json")) << deckProfile(name);
  }
  auto [phonePointer, socket] = usbPhone(39537, run);
  auto& phone = *phonePointer;
  auto& brindlet = start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket});
  ASSERT_TRUE(phone.waitFor("connected(", 15s)) << brindlet.output();

  // The deck follows the terminal in front (each profile names its app in its deckProfile).
  std::map<std::string, int> shown;
  for (const std::string name : {"DeckA", "DeckB", "DeckA"}) {
    if (!shown[name]) start({"xterm", "-class", name, "-e", "sleep", "300"});
    ASSERT_TRUE(testsupport::eventually(
        [&] {
          return x_->run({"wmctrl", "-x", "-a", name}).status == 0;
        },
        10s, 100ms));
    const std::string marker = "{\"app\":\"" + name + "\",\"appName\"";
    EXPECT_TRUE(testsupport::eventually(
        [&] {
          phone.waitFor("\x01", 20ms);  // reads what the phone printed meanwhile
          return count(phone.output(), marker) > shown[name];
        },
        10s, 20ms))
        << name << phone.output() << brindlet.output();
    shown[name] = count(phone.output(), marker);
  }
  // A key of A starts its shell command.
  phone.write(
      R"(send {"t":"deckAction","id":100,"profile":"com.test.DeckA","key":"sleep","phase":"press"})"
      "\n");
  EXPECT_TRUE(testsupport::eventually([] { return sleeping(); }, 10s, 50ms));

  // A permission request reaches the phone's board and waits for its answer.
  const std::string event = std::string(BRINDLET_SOURCE_DIR) + "/tools/demo/agent-event";
  const std::string dataHome = "XDG_DATA_HOME=" + data().string();
  auto& approved = start({event, "s1", "ls"}, {dataHome});
  ASSERT_TRUE(phone.waitFor("\"needsYou\"", 10s)) << phone.output();
  phone.write(R"(send {"t":"agentAction","id":101,"agent":"s1","verb":"approve","request":"r1"})"
              "\n");
  EXPECT_EQ(approved.waitExit(10s), 0);
  EXPECT_NE(approved.output().find("\"behavior\":\"allow\""), std::string::npos)
      << approved.output();
  auto& waiting = start({event, "s2", "make"}, {dataHome});
  ASSERT_TRUE(phone.waitFor("\"s2\"", 10s)) << phone.output();

  // Quitting answers the waiting request "{}" and ends the key's command with the app.
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
  EXPECT_EQ(waiting.waitExit(5s), 0);
  EXPECT_NE(waiting.output().find("{}"), std::string::npos) << waiting.output();
  EXPECT_TRUE(testsupport::eventually([] { return !sleeping(); }, 2s, 50ms));
}

// The video frames the phone printed so far.
int videoFrames(const ChildProcess& phone) {
  return count(phone.output(), "frame video ");
}

TEST_F(AppPeer, FramesKeepLeavingWhileTheMainLoopIsBusy) {
  testsupport::TempDir run;
  auto [phonePointer, socket] = usbPhone(39547, run);
  auto& phone = *phonePointer;
  auto& brindlet = start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket, "BRINDLET_TEST_HOOKS=1"});
  ASSERT_TRUE(phone.waitFor("connected(", 15s)) << brindlet.output();
  phone.write("pane 393 852 3\n");
  ASSERT_TRUE(phone.waitFor("\"t\":\"displayReady\"", 15s)) << phone.output();
  std::optional<testsupport::Monitor> shown;
  ASSERT_TRUE(testsupport::eventually(
      [&] {
        for (const auto& m : testsupport::monitors(*x_))
          if (m.width == 1178) shown = m;
        return shown.has_value();
      },
      5s, 50ms));
  // Moving content on the phone's display: a terminal that never stops scrolling.
  start({"xterm", "-geometry",
         "160x160+" + std::to_string(shown->x) + "+" + std::to_string(shown->y), "-e", "sh", "-c",
         "while :; do date +%s%N; done"});

  // Arrival times of the frames, read every 2 ms, for a second at rest and a second around a
  // 200 ms hold of the main loop.
  using Moment = std::chrono::steady_clock::time_point;
  auto arrivals = [&](std::chrono::milliseconds span, std::function<void()> midway) {
    std::vector<Moment> at;
    const auto begin = std::chrono::steady_clock::now();
    int seen = videoFrames(phone);
    bool done = false;
    while (std::chrono::steady_clock::now() - begin < span) {
      phone.waitFor("\x01", 2ms);
      const int now = videoFrames(phone);
      for (; seen < now; ++seen) at.push_back(std::chrono::steady_clock::now());
      if (!done && std::chrono::steady_clock::now() - begin > span / 4) {
        midway();
        done = true;
      }
    }
    return at;
  };
  auto longestGap = [](const std::vector<Moment>& at) {
    std::chrono::steady_clock::duration longest{};
    for (std::size_t i = 1; i < at.size(); ++i) longest = std::max(longest, at[i] - at[i - 1]);
    return std::chrono::duration<double, std::milli>(longest).count();
  };
  ASSERT_TRUE(phone.waitFor("frame video", 10s));
  const auto rest = arrivals(1s, [] {});
  const auto busy = arrivals(1s, [&] { kill(brindlet.pid(), SIGUSR1); });
  ASSERT_TRUE(brindlet.waitFor("main loop was held", 2s)) << brindlet.output();
  const double atRest = longestGap(rest), whileBusy = longestGap(busy);
  std::printf(
      "frames at rest: %zu, longest gap %.1f ms; around the hold: %zu, longest gap %.1f ms\n",
      rest.size(), atRest, busy.size(), whileBusy);
  EXPECT_GT(rest.size(), 10u);
  // No gap longer than two frame intervals beyond what the stream shows at rest.
  EXPECT_LE(whileBusy, std::max(2 * 1000.0 / 60, atRest) + 2 * 1000.0 / 60);
  // The session is whole afterwards: statistics still come, the display stays.
  const int stats = count(phone.output(), "\"t\":\"stats\"");
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        phone.waitFor("\x01", 20ms);
        return count(phone.output(), "\"t\":\"stats\"") > stats;
      },
      3s, 20ms));
  EXPECT_TRUE(ourMonitor());
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
}

TEST_F(AppPeer, UnderATestHarnessNothingStarts) {
  testsupport::TempDir run;
  auto [phonePointer, socket] = usbPhone(39527, run);
  auto& phone = *phonePointer;
  fs::remove_all(data() / "Brindlet");
  auto& brindlet =
      start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket, "XCTestConfigurationFilePath="});
  EXPECT_TRUE(testsupport::eventually([] { return docked(); }, 10s, 50ms)) << brindlet.output();
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(data() / "Brindlet"));
  EXPECT_FALSE(fs::exists(serverJson()));
  EXPECT_EQ(phone.output().find("connected("), std::string::npos) << phone.output();
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
}

TEST_F(AppPeer, ALostXConnectionLeavesNoDiscoveryFile) {
  XServer own;
  auto brindlet = own.start({app});
  ASSERT_TRUE(testsupport::eventually([] { return fs::exists(serverJson()); }, 10s, 50ms))
      << brindlet->output();
  own.kill();
  const auto status = brindlet->waitExit(5s);
  ASSERT_TRUE(status) << brindlet->output();
  EXPECT_NE(*status, 0);
  EXPECT_FALSE(fs::exists(serverJson()));
  EXPECT_FALSE(fs::exists(serverJson().parent_path() / "server.headers"));
}

TEST_F(AppPeer, RefusesAWaylandSessionAndMakesNothing) {
  testsupport::TempDir runtime;
  const auto result =
      x_->run({"env", "XDG_SESSION_TYPE=wayland", "XDG_RUNTIME_DIR=" + runtime.path(), "sh", "-c",
               "exec \"$0\" 2>&1", app});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("Brindlet needs an X11 session; this is a Wayland session"),
            std::string::npos)
      << result.output;
  EXPECT_TRUE(fs::is_empty(runtime.path()));
}

}  // namespace
}  // namespace brindlet::app::testing
