// How the app ends when its X server goes, at start-up or later with a phone streaming, and how
// it refuses to start without one.

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>

#include "AppHarness.h"
#include "support/PromptingKeyring.h"
#include "support/SessionManager.h"

namespace brindlet::app::testing {
namespace {

// Whether the app's output holds a crash whose top frames are the app's own code: the crash
// handler's stack, read past its own frame and the signal's return into it. A library's crash
// on a broken X connection ends as the display's loss; one of ours is a fault to fix, whatever
// the exit status says.
bool crashOfOurs(const std::string& output) {
  const auto at = output.find("Brindlet crashed (signal ");
  if (at == std::string::npos) return false;
  std::istringstream lines(output.substr(at));
  std::string line;
  std::getline(lines, line);
  std::vector<std::string> frames;
  while (std::getline(lines, line) && line.find("[0x") != std::string::npos) frames.push_back(line);
  // The handler's own frames end with the signal's return, in the C library.
  auto first = std::find_if(frames.begin(), frames.end(), [](const std::string& frame) {
    return frame.find("libc.so") != std::string::npos;
  });
  if (first == frames.end()) return false;
  ++first;
  for (int n = 0; n < 3 && first != frames.end(); ++n, ++first) {
    if (first->rfind(app + "(", 0) == 0) return true;
  }
  return false;
}

// How the app ends when its X display goes.
constexpr int lostDisplayStatus = 3;

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
    // The app's log, which names the quit's road, is read from its standard error.
    line.insert(line.end(), {app, "--log-both"});
    return server.start(line);
  }

  // Kills `server` under `brindlet` and checks the ending: an exit status, no signal, no
  // discovery file, nothing of the app's left.
  void killAndCheck(XServer& server, ChildProcess& brindlet) {
    server.kill();
    const auto status = ended(brindlet);
    ASSERT_TRUE(status);
    EXPECT_GT(*status, 0) << brindlet.output();
    EXPECT_LT(*status, 128) << "ended by a signal\n" << brindlet.output();
    EXPECT_FALSE(crashOfOurs(brindlet.output())) << brindlet.output();
  }

  // How `brindlet` ended (counted), once it has, with no discovery file and nothing of the app's
  // left (a killed process takes a moment to go).
  std::optional<int> ended(ChildProcess& brindlet) {
    const auto status = brindlet.waitExit(10s);
    EXPECT_TRUE(status) << "still running\n" << brindlet.output();
    if (!status) return status;
    ++statuses_[*status];
    EXPECT_FALSE(fs::exists(serverJson())) << brindlet.output();
    EXPECT_FALSE(fs::exists(serverJson().parent_path() / "server.headers"));
    EXPECT_TRUE(testsupport::eventually([&] { return processesMarked(marker_).empty(); }, 2s, 20ms))
        << "processes of the app's left: " << processesMarked(marker_);
    return status;
  }

  // The app on `server` (Xorg with a window manager) with the phone streaming over USB, a
  // terminal in front, and the deck's key pressed that puts a `sleep` in the background, which
  // runs once this returns; the app, or nothing where a step failed.
  std::unique_ptr<ChildProcess> startWithAKeysProgram(XServer& server,
                                                      const testsupport::TempDir& folder,
                                                      std::vector<std::string> environment,
                                                      const std::string& before = "",
                                                      const std::string& after = "",
                                                      ChildProcess** phoneOut = nullptr) {
    const std::string id = "com.test.ExitKeys";
    const auto profiles = data() / "Brindlet/Profiles";
    fs::create_directories(profiles);
    std::ofstream(profiles / "ExitKeys.json")
        << R"({"schema":1,"id":")" << id
        << R"(","name":"Exit keys","apps":["*"],"layouts":{"compact":["bg"],"regular":["bg"]},)"
        << R"("keys":{"bg":{"label":"Background","symbol":"moon","action":{"kind":"shell",)"
        << R"("command":")" << before << "sleep 300." << seed_ % 1000 << " &" << after
        << R"("}}}})";
    auto [phone, socket] = usbPhone(folder);
    if (phoneOut) *phoneOut = phone;
    environment.push_back("USBMUXD_SOCKET_ADDRESS=UNIX:" + socket);
    auto brindlet = startOn(server, environment);
    const auto step = [&](bool done, const char* what) {
      EXPECT_TRUE(done) << what << "\n" << phone->output() << brindlet->output();
      return done;
    };
    if (!step(phone->waitFor("connected(", 15s), "connected")) return nullptr;
    phone->write("pane 393 852 3\n");
    if (!step(phone->waitFor("frame video", 15s), "streaming")) return nullptr;
    children_.push_back(server.start({"xterm", "-class", "ExitKeys", "-e", "sleep", "300"}));
    const bool deckShown = testsupport::eventually(
        [&] {
          server.run({"wmctrl", "-x", "-a", "ExitKeys"});
          phone->waitFor("\x01", 20ms);  // reads what the phone printed meanwhile
          return count(phone->output(), id) > 0;
        },
        15s, 100ms);
    if (!step(deckShown, "the deck")) return nullptr;
    phone->write(R"(send {"t":"deckAction","id":7,"profile":")" + id +
                 R"(","key":"bg","phase":"press"})"
                 "\n");
    const bool running = testsupport::eventually(
        [&] { return processesMarked(marker_).find("[sleep 300.") != std::string::npos; }, 10s,
        20ms);
    if (!step(running, "the key's program")) return nullptr;
    return brindlet;
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
      auto [started, socket] = usbPhone(folder);
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

// A quit asked for just before the X server goes, as at a logout: the keys' programs and the
// discovery files go first, and the display's removal meets no window code on a breaking
// connection. The server's end comes 0 to 20 ms after the signal, so that it meets the display's
// removal on a slow machine as on a fast one.
TEST_F(AppExit, EndsCleanlyWhenXGoesJustAfterAQuit) {
  const int signals[] = {SIGTERM, SIGHUP, SIGINT};
  for (int run = 0; run < kills() && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    XServer own(XServer::Kind::xorgDummy);
    own.startWindowManager();
    testsupport::TempDir folder;
    auto brindlet = startWithAKeysProgram(own, folder, {});
    ASSERT_TRUE(brindlet);
    ::kill(brindlet->pid(), signals[run % 3]);
    std::this_thread::sleep_for(std::chrono::milliseconds(run * 20 / kills()));
    ::kill(own.pid(), SIGTERM);  // the server ends as at a logout: it takes its moment
    const auto status = ended(*brindlet);
    ASSERT_TRUE(status);
    EXPECT_LT(*status, 128) << "ended by a signal\n" << brindlet->output();
    EXPECT_FALSE(crashOfOurs(brindlet->output())) << brindlet->output();
    for (auto& child : children_) child->stop();
    children_.clear();
  }
}

// A crash of our own code as the X server goes, put in by the test hook, ends as the display's
// loss too, but its stack says whose it was: the kill cases above would fail on it.
TEST_F(AppExit, ACrashOfOursAfterXGoesIsNamed) {
  XServer own;
  auto brindlet = startOn(own, {"BRINDLET_TEST_HOOKS=crash-on-display-loss"});
  ASSERT_TRUE(testsupport::eventually([] { return fs::exists(serverJson()); }, 15s, 50ms))
      << brindlet->output();
  own.kill();
  const auto status = ended(*brindlet);
  ASSERT_TRUE(status);
  // As the display's loss once Qt's connection is known broken, else by the signal.
  EXPECT_TRUE(*status == lostDisplayStatus || *status == 128 + SIGSEGV) << brindlet->output();
  EXPECT_TRUE(crashOfOurs(brindlet->output())) << brindlet->output();
}

// A session manager's Die, as at a logout, takes the same quit as SIGTERM: the hook waiting for
// the phone gets its answer, the key's program its SIGTERM and grace, and the app ends with 0;
// and the manager is told never to restart the app, which starts at login on its own.
TEST_F(AppExit, ASessionManagersDieQuitsInOrder) {
  testsupport::SessionManager manager(SESSION_MANAGER_PROGRAM);
  XServer own(XServer::Kind::xorgDummy);
  own.startWindowManager();
  testsupport::TempDir folder;
  const std::string termed = folder.file("termed");
  ChildProcess* phone = nullptr;
  // The key's shell waits for its program and notes its SIGTERM before it ends.
  const std::string trap = "trap 'echo term > " + termed + "; exit 0' TERM; ";
  auto brindlet = startWithAKeysProgram(own, folder, manager.environment(), trap, " wait", &phone);
  ASSERT_TRUE(brindlet);
  const auto clients = manager.registered(1, 10s);
  ASSERT_EQ(clients.size(), 1u) << manager.output();
  EXPECT_TRUE(manager.waitFor("property " + clients[0] + " RestartStyleHint 3", 10s))
      << manager.output();

  const std::string published = testsupport::readFile(serverJson().string());
  const auto port = published.substr(published.find("\"port\":") + 7);
  const std::string event =
      R"({"session_id":"s1","hook_event_name":"PermissionRequest","cwd":"/tmp",)"
      R"("tool_name":"Bash","tool_input":{"command":"make"}})";
  auto& hook = start({"curl", "-s", "--max-time", "20", "-X", "POST",
                      "http://127.0.0.1:" + port.substr(0, port.find_first_not_of("0123456789")) +
                          "/hook?vendor=claude",
                      "-H", "Content-Type: application/json", "-H",
                      "@" + (serverJson().parent_path() / "server.headers").string(),
                      "--data-binary", event});
  ASSERT_TRUE(phone->waitFor("\"needsYou\"", 10s)) << phone->output() << hook.output();

  manager.die();
  EXPECT_EQ(ended(*brindlet), 0) << brindlet->output();
  EXPECT_EQ(hook.waitExit(5s), 0);
  EXPECT_EQ(hook.output(), "{}");
  EXPECT_EQ(testsupport::readFile(termed), "term\n") << "the key's shell got no SIGTERM";
  // Qt's quit event taken as the app's own, not Qt's loop ending by itself.
  EXPECT_EQ(count(brindlet->output(), "Quitting: logout\n"), 1) << brindlet->output();
}

// A crash, here one the test asks for (a fault on the main loop, GLib's g_error, which raises
// SIGTRAP, or Ctrl-\'s SIGQUIT), still takes the discovery files and the keys' programs with
// it, writes the stack, and the process ends by the signal; a stray SIGUSR1 with no test hooks to
// take it ends the app as cleanly, with no stack.
TEST_F(AppExit, ACrashLeavesNoFileAndNoProgram) {
  const struct {
    int sent, ending;
    bool hooks = true, stack = true;
  } rows[] = {
      {SIGUSR2, SIGSEGV}, {SIGTRAP, SIGTRAP}, {SIGQUIT, SIGQUIT}, {SIGUSR1, SIGUSR1, false, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ending);
    XServer own(XServer::Kind::xorgDummy);
    own.startWindowManager();
    testsupport::TempDir folder;
    std::vector<std::string> environment;
    if (row.hooks) environment.push_back("BRINDLET_TEST_HOOKS=1");
    auto brindlet = startWithAKeysProgram(own, folder, environment);
    ASSERT_TRUE(brindlet);
    ::kill(brindlet->pid(), row.sent);
    EXPECT_EQ(ended(*brindlet), 128 + row.ending) << brindlet->output();
    const bool stack =
        brindlet->output().find("Brindlet crashed (signal " + std::to_string(row.ending) +
                                "):\n") != std::string::npos;
    EXPECT_EQ(stack, row.stack) << brindlet->output();
    for (auto& child : children_) child->stop();
    children_.clear();
  }
}

// The main loop stuck for good (the test hook holds it): the first quit signal cannot be taken
// there. The watchdog ends the process as a quit within the quit's 2 seconds,
// measured from the signal; a second signal ends it at once. Nothing of the app's is left.
TEST_F(AppExit, AStuckLoopStillEndsAsAQuit) {
  const struct {
    const char* name;
    bool second;
    const char* road;
  } rows[] = {
      {"one signal", false, "Quitting: watchdog (the quit overran)\n"},
      {"a second signal", true, "Quitting: second signal 15\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    XServer own(XServer::Kind::xorgDummy);
    own.startWindowManager();
    testsupport::TempDir folder;
    auto brindlet = startWithAKeysProgram(own, folder, {"BRINDLET_TEST_HOOKS=stuck"});
    ASSERT_TRUE(brindlet);
    ::kill(brindlet->pid(), SIGUSR1);
    ASSERT_TRUE(brindlet->waitFor("the main loop is held for good", 5s)) << brindlet->output();
    const auto signalled = std::chrono::steady_clock::now();
    ::kill(brindlet->pid(), SIGTERM);
    if (row.second) {
      std::this_thread::sleep_for(200ms);
      ::kill(brindlet->pid(), SIGTERM);
    }
    brindlet->waitExit(10s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_EQ(ended(*brindlet), 0) << brindlet->output();
    EXPECT_LE(took, 2000ms) << "the quit took " << took / 1ms << " ms\n" << brindlet->output();
    // Ended by this road alone: the second signal before the watchdog, the watchdog unasked.
    EXPECT_EQ(count(brindlet->output(), "Quitting: "), 2) << brindlet->output();
    EXPECT_EQ(count(brindlet->output(), row.road), 1) << brindlet->output();
    for (auto& child : children_) child->stop();
    children_.clear();
  }
}

// A session bus that accepts and never answers, as a stopped one does: the start-up waits on it
// (the toolkit's and the keyring's calls), and a quit signal still ends the app at once.
TEST_F(AppExit, AQuitEndsAStartUpThatWaitsOnTheBus) {
  testsupport::TempDir folder;
  const std::string socketPath = folder.file("bus");
  const int bus = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(bus, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(bus, 64), 0);
  XServer own;
  auto brindlet = startOn(own, {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + socketPath});
  std::this_thread::sleep_for(1s);
  ::kill(brindlet->pid(), SIGTERM);
  // Well within the waits of the bus's callers, which last 25 s.
  EXPECT_TRUE(brindlet->waitExit(5s)) << brindlet->output();
  EXPECT_EQ(ended(*brindlet), 0) << brindlet->output();
  ::close(bus);
}

// Whether the process runs more than one thread: its main() has begun.
bool threaded(pid_t pid) {
  const auto status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("Threads:");
  return at != std::string::npos && std::stoi(status.substr(at + 8)) > 1;
}

// A quit asked for while the app starts ends it as a quit (or as a start that failed), never by
// the signal.
TEST_F(AppExit, AQuitDuringStartUpEndsAsAQuit) {
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  XServer own;
  for (int run = 0; run < 20 && !HasFatalFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    auto brindlet = startOn(own);
    // Timed from the moment its main() has started a thread: before main() runs, while the
    // loader maps the libraries, no program can take a signal.
    ASSERT_TRUE(testsupport::eventually([&] { return threaded(brindlet->pid()); }, 5s, 1ms));
    std::this_thread::sleep_for(run * 15ms);
    ::kill(brindlet->pid(), signals[run % 3]);
    const auto status = ended(*brindlet);
    ASSERT_TRUE(status);
    EXPECT_TRUE(*status == 0 || *status == 1) << *status << brindlet->output();
  }
}

// The first start's keyring prompt open (the keyring has none yet and asks for the new one's
// password) while the X server goes, with the session bus as at a logout or alone: the start-up
// waits on the prompt, or goes on once the prompter has gone with the server, and the app ends as
// the display's loss either way.
TEST_F(AppExit, XGoingWhileTheKeyringPromptsEndsAsTheDisplaysLoss) {
  for (const bool withTheBus : {true, false}) {
    SCOPED_TRACE(withTheBus ? "the X server and the bus" : "the X server alone");
    XServer own;
    testsupport::PromptingKeyring keyring(own.display());
    auto brindlet = startOn(own, {keyring.environment()});
    ASSERT_TRUE(keyring.prompting(15s)) << brindlet->output();
    own.kill();
    if (withTheBus) keyring.kill();
    EXPECT_TRUE(brindlet->waitExit(5s)) << brindlet->output();
    EXPECT_EQ(ended(*brindlet), lostDisplayStatus) << brindlet->output();
  }
}

// A session manager's logout with the first start's keyring prompt open: the SaveYourself is
// answered at once, and the Die ends the app as a quit during start-up.
TEST_F(AppExit, ALogoutWhileTheKeyringPromptsIsAnsweredAndQuits) {
  testsupport::SessionManager manager(SESSION_MANAGER_PROGRAM);
  XServer own;
  testsupport::PromptingKeyring keyring(own.display());
  auto environment = manager.environment();
  environment.push_back(keyring.environment());
  auto brindlet = startOn(own, environment);
  const auto clients = manager.registered(1, 10s);
  ASSERT_EQ(clients.size(), 1u) << manager.output();
  ASSERT_TRUE(keyring.prompting(15s)) << brindlet->output();
  manager.save();
  EXPECT_TRUE(manager.waitFor("saved " + clients[0], 5s)) << manager.output() << brindlet->output();
  manager.die();
  EXPECT_TRUE(brindlet->waitExit(2s)) << brindlet->output();
  EXPECT_EQ(ended(*brindlet), 0) << brindlet->output();
  EXPECT_EQ(count(brindlet->output(), "Quitting during start-up: logout\n"), 1)
      << brindlet->output();
}

// The app on its own without a display to stay on: its exit status, standard output and error,
// and whether its home, XDG folders and all, stayed empty.
struct Alone {
  int status = -1;
  std::string output, errors;
  bool madeNothing = false;
};
Alone runAlone(const std::vector<std::string>& environment,
               const std::vector<std::string>& arguments = {}) {
  testsupport::TempDir home, streams;
  // A start-up that hangs ends here, as status 124, rather than at the test's own limit.
  std::vector<std::string> line{"timeout", "30", "env"};
  line.insert(line.end(), environment.begin(), environment.end());
  for (const char* folder : {"HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                             "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    line.push_back(std::string(folder) + "=" + home.path());
  }
  line.insert(line.end(), {"sh", "-c", "exec \"$0\" \"$@\" 2>" + streams.file("errors"), app});
  line.insert(line.end(), arguments.begin(), arguments.end());
  const auto result = testsupport::runProgram(line);
  return {result.status, result.output, testsupport::readFile(streams.file("errors")),
          fs::is_empty(home.path())};
}

TEST_F(AppExit, HelpAndMistakenFlagsStartNothing) {
  const struct {
    std::vector<std::string> arguments;
    int status;
    bool asked;  // the usage on standard output, else on standard error
  } table[] = {
      {{"--help"}, 0, true},     {{"--log-both", "-h"}, 0, true},
      {{"--log-bot"}, 2, false}, {{"--log-both", "--verbose"}, 2, false},
      {{"extra"}, 2, false},
  };
  std::string usage;
  for (const auto& row : table) {
    SCOPED_TRACE(row.arguments.back());
    // On a display that works: a flag taken for nothing would start the app.
    const auto alone = runAlone({"DISPLAY=" + x_->display()}, row.arguments);
    EXPECT_EQ(alone.status, row.status) << alone.output << alone.errors;
    const auto& shown = row.asked ? alone.output : alone.errors;
    EXPECT_EQ(shown.rfind("Usage: brindlet", 0), 0u) << shown;
    EXPECT_EQ((row.asked ? alone.errors : alone.output), "");
    if (usage.empty()) usage = shown;
    EXPECT_EQ(shown, usage);  // the same text either way
    EXPECT_TRUE(alone.madeNothing);
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
    const auto alone = runAlone(row.environment);
    EXPECT_EQ(alone.status, 1) << alone.errors;
    // The sentence alone, as the user reads it.
    EXPECT_EQ(alone.output + alone.errors, row.line + "\n");
    EXPECT_TRUE(alone.madeNothing);
  }
}

}  // namespace
}  // namespace brindlet::app::testing
