// How the app ends when its X server goes, at start-up or later with a phone streaming, and how
// it refuses to start without one.

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <random>

#include "AppHarness.h"

namespace brindlet::app::testing {
namespace {

class AppExit : public AppPeer {
 protected:
  // The app on `server`, with the private home.
  std::unique_ptr<ChildProcess> startOn(const XServer& server,
                                        std::vector<std::string> environment = {}) {
    const std::string home = home_->path();
    marker_ = "BRINDLET_EXIT_RUN=" + runMark() + "-" + std::to_string(++runs_);
    std::vector<std::string> line{"env", marker_, "HOME=" + home,
                                  "XDG_CONFIG_HOME=" + home + "/config",
                                  "XDG_CACHE_HOME=" + home + "/cache"};
    line.insert(line.end(), environment.begin(), environment.end());
    line.push_back(app);
    return server.start(line);
  }

  // Kills `server` under `brindlet` and checks the ending: an exit status, no signal, no
  // discovery file, nothing of the app's left.
  void killAndCheck(XServer& server, ChildProcess& brindlet) {
    server.kill();
    const auto status = brindlet.waitExit(10s);
    ASSERT_TRUE(status) << brindlet.output();
    ++statuses_[*status];
    EXPECT_GT(*status, 0) << brindlet.output();
    EXPECT_LT(*status, 128) << "ended by a signal\n" << brindlet.output();
    EXPECT_FALSE(fs::exists(serverJson())) << brindlet.output();
    EXPECT_FALSE(fs::exists(serverJson().parent_path() / "server.headers"));
    EXPECT_EQ(processesMarked(marker_), "") << "processes of the app's left";
  }

  void SetUp() override { std::cout << "seed " << seed_ << "\n"; }
  void TearDown() override {
    AppPeer::TearDown();
    std::cout << "exit statuses:";
    for (const auto& [status, times] : statuses_) std::cout << " " << status << "×" << times;
    std::cout << "\n";
  }

  std::chrono::milliseconds randomUpTo(std::chrono::milliseconds limit) {
    return std::chrono::milliseconds(
        std::uniform_int_distribution<long>(0, limit.count())(random_));
  }

  const unsigned seed_ = std::random_device{}();
  std::mt19937 random_{seed_};
  std::map<int, int> statuses_;
  int runs_ = 0;
  std::string marker_;
};

// Kills per case: 20, or fewer where a slow build (ThreadSanitizer in CI) runs a sample.
int kills() {
  const char* asked = std::getenv("BRINDLET_EXIT_KILLS");
  return asked ? std::atoi(asked) : 20;
}

TEST_F(AppExit, EndsCleanlyWhenXGoesDuringStartUp) {
  for (int run = 0; run < kills() && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    XServer own;
    auto brindlet = startOn(own);
    std::this_thread::sleep_for(randomUpTo(3000ms));
    killAndCheck(own, *brindlet);
  }
}

TEST_F(AppExit, EndsCleanlyWhenXGoesLaterWithOrWithoutAPhone) {
  for (int run = 0; run < kills() && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const bool withPhone = run % 2 == 0;
    // The phone's extra display needs the dummy driver's spare outputs.
    XServer own(withPhone ? XServer::Kind::xorgDummy : XServer::Kind::xvfb);
    testsupport::TempDir folder;
    ChildProcess* phone = nullptr;
    std::vector<std::string> environment;
    if (withPhone) {
      auto [started, socket] = usbPhone(39557 + run, folder);
      phone = started;
      environment.push_back("USBMUXD_SOCKET_ADDRESS=UNIX:" + socket);
    }
    auto brindlet = startOn(own, environment);
    ASSERT_TRUE(testsupport::eventually([] { return fs::exists(serverJson()); }, 15s, 50ms))
        << brindlet->output();
    if (phone) {
      ASSERT_TRUE(phone->waitFor("connected(", 15s)) << phone->output() << brindlet->output();
      phone->write("pane 393 852 3\n");
      ASSERT_TRUE(phone->waitFor("frame video", 15s)) << phone->output() << brindlet->output();
    }
    std::this_thread::sleep_for(randomUpTo(1000ms));
    killAndCheck(own, *brindlet);
    // The phone and its usbmuxd go with this run.
    for (auto& child : children_) child->stop();
    children_.clear();
  }
}

struct Refusal {
  const char* name;
  std::vector<std::string> environment;
  std::string line;
};

// A display number nobody serves.
std::string unusedDisplay() {
  for (int n = 150;; ++n) {
    if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
        !fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
      return ":" + std::to_string(n);
    }
  }
}

// A TCP display on loopback whose socket accepts connections (the kernel's backlog) and never
// says a word, as a wedged server or a dead forwarding does.
class SilentDisplay {
 public:
  SilentDisplay() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    // Above the numbers unusedDisplay() picks, whose TCP fallback would otherwise reach this one.
    for (int n = 450; n < 700; ++n) {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(6000 + n));
      if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::listen(socket_, 8) == 0) {
        name_ = "127.0.0.1:" + std::to_string(n);
        return;
      }
    }
  }
  ~SilentDisplay() { ::close(socket_); }
  const std::string& name() const { return name_; }

 private:
  int socket_;
  std::string name_;
};

TEST_F(AppExit, RefusesWithoutADisplayInOneLineAndMakesNothing) {
  const std::string unused = unusedDisplay();
  const SilentDisplay silent;
  ASSERT_FALSE(silent.name().empty());
  const std::vector<Refusal> table{
      {"no DISPLAY", {"-u", "DISPLAY"}, "Brindlet needs an X11 display: DISPLAY is not set"},
      {"a display nobody serves",
       {"DISPLAY=" + unused},
       "Brindlet needs an X11 display: cannot open display " + unused},
      {"a display that never answers",
       {"DISPLAY=" + silent.name()},
       "Brindlet needs an X11 display: display " + silent.name() + " does not answer"},
      {"Wayland without a session type",
       {"-u", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY=wayland-0"},
       "Brindlet needs an X11 session; this is a Wayland session"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    testsupport::TempDir home;
    // A start-up that hangs ends here, as status 124, rather than at the test's own limit.
    std::vector<std::string> line{"timeout", "30", "env"};
    line.insert(line.end(), row.environment.begin(), row.environment.end());
    for (const char* folder : {"HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                               "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
      line.push_back(std::string(folder) + "=" + home.path());
    }
    line.insert(line.end(), {"sh", "-c", "exec \"$0\" 2>&1", app});
    const auto result = testsupport::runProgram(line);
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_EQ(count(result.output, "\n"), 1) << result.output;
    EXPECT_NE(result.output.find(row.line), std::string::npos) << result.output;
    EXPECT_TRUE(fs::is_empty(home.path()));
  }
}

}  // namespace
}  // namespace brindlet::app::testing
