// The terminal jumper with real tmux on a private server, a stand-in tmux that never ends, and
// under Xvfb with openbox: xterms found by their tty, through an attached tmux client, and by
// their class.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "agents/TerminalJumper.h"
#include "desktop/FakeWindowSystem.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Eventually.h"
#include "support/Loop.h"
#include "support/TempDir.h"
#include "support/XServer.h"

namespace brindlet::agents {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktop::WindowId;
using desktop::WindowSnapshot;
using testsupport::ChildProcess;

std::string firstLine(std::string text) {
  return text.substr(0, text.find('\n'));
}

// A tmux server of the test's own: TMUX_TMPDIR points at a temporary folder for the test and
// every program it starts, the jumper's tmux among them.
struct PrivateTmux {
  testsupport::TempDir dir;
  PrivateTmux() {
    ::unsetenv("TMUX");
    ::setenv("TMUX_TMPDIR", dir.path().c_str(), 1);
  }
  ~PrivateTmux() {
    run({"kill-server"});
    ::unsetenv("TMUX_TMPDIR");
  }
  std::string run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"tmux", "-f", "/dev/null"});
    return firstLine(testsupport::runProgram(args).output);
  }
  std::string activePane(const std::string& session) const {
    return run({"display-message", "-p", "-t", session, "#{pane_id}"});
  }
};

// The real roles on a loop of the test's own.
struct Jumping {
  runtime::MainLoop loop;
  std::shared_ptr<runtime::Clock> clock = runtime::Clock::system();
  runtime::ProgramRunner programs{loop.context().get_executor(), clock};
  runtime::ProcFsProcessTable processes;

  bool jump(desktop::WindowSystem& windows, TerminalLocation location,
            std::vector<std::string> tmux = {"/usr/bin/tmux"}) {
    TerminalJumper jumper(programs, processes, windows, clock, std::move(tmux));
    return brindlet::testing::runUntilDone(loop.context(), jumper.jump(std::move(location)));
  }
};

TEST(JumpWithTmux, AHungTmuxIsKilledAtTwoSecondsAndTheJumpAnswers) {
  testsupport::TempDir dir;
  const auto standIn = dir.file("tmux");
  const auto pidFile = dir.file("sleeper");
  dir.write("tmux", "#!/bin/sh\nsleep 600 &\necho $! > '" + pidFile + "'\nwait\n");
  ::chmod(standIn.c_str(), 0755);

  Jumping jumping;
  desktop::FakeWindowSystem noWindows;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(jumping.jump(noWindows, {"", "", "%1", ""}, {standIn}));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 2s);
  EXPECT_LT(took, 4s);
  std::ifstream in(pidFile);
  pid_t sleeper = 0;
  ASSERT_TRUE(in >> sleeper);
  EXPECT_TRUE(testsupport::processesGone({sleeper}));  // the stand-in's whole group
}

class JumpUnderOpenbox : public ::testing::Test {
 protected:
  void SetUp() override {
    server.startWindowManager();
    windows = brindlet::testing::runUntilDone(jumping.loop.context(),
                                              platform::X11WindowSystem::open(server.display()));
  }

  struct Terminal {
    std::unique_ptr<ChildProcess> xterm;
    WindowId window = 0;
    std::string tty;  // "pts/N" of the program it runs
  };

  // An xterm of its own class running the command; its window and its child's terminal.
  Terminal xterm(const std::string& windowClass, std::vector<std::string> command) {
    std::vector<std::string> argv{"xterm", "-class", windowClass, "-geometry", "60x10", "-e"};
    argv.insert(argv.end(), command.begin(), command.end());
    Terminal t{server.start(argv), 0, ""};
    const pid_t pid = t.xterm->pid();
    EXPECT_TRUE(waitFor([&](const WindowSnapshot& s) {
      for (const auto& w : s.windows)
        if (w.pid == pid) t.window = w.id;
      return t.window != 0;
    })) << windowClass;
    for (int i = 0; i < 500 && t.tty.empty(); ++i) {
      for (const auto& p : jumping.processes.scan()) {
        std::error_code error;
        const auto device = fs::read_symlink("/proc/" + std::to_string(p.pid) + "/fd/0", error);
        if (p.parent == pid && !error) t.tty = device.string().substr(5);
      }
      if (t.tty.empty()) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(t.tty.rfind("pts/", 0), 0u) << windowClass;
    return t;
  }

  bool waitFor(const std::function<bool(const WindowSnapshot&)>& condition) {
    return testing::runUntil(jumping.loop.context(),
                             [&] { return condition(windows->snapshot()); });
  }

  void makeActive(WindowId window) {
    brindlet::testing::runUntilDone(jumping.loop.context(), windows->activate(window));
    ASSERT_TRUE(waitFor([&](const WindowSnapshot& s) { return s.active == window; }));
  }

  std::string xdotoolActive() {
    return firstLine(server.run({"xdotool", "getactivewindow"}).output);
  }

  bool jump(TerminalLocation location) { return jumping.jump(*windows, std::move(location)); }

  PrivateTmux tmux;
  testsupport::XServer server;
  Jumping jumping;
  std::unique_ptr<platform::X11WindowSystem> windows;
};

TEST_F(JumpUnderOpenbox, ActivatesTheTerminalOfATtyAPaneOrAProgram) {
  // The agent's pane is in a window the attached client does not show.
  tmux.run({"new-session", "-d", "-s", "agents", "-x", "80", "-y", "24"});
  const auto pane = tmux.run({"new-window", "-d", "-P", "-F", "#{pane_id}", "-t", "agents"});
  const auto paneTty = tmux.run({"display-message", "-p", "-t", pane, "#{pane_tty}"});
  ASSERT_NE(tmux.activePane("agents"), pane);

  auto first = xterm("BrindletFirst", {"sleep", "600"});
  auto second = xterm("BrindletSecond", {"sleep", "600"});
  auto attached = xterm("BrindletTmux", {"tmux", "attach", "-t", "agents"});
  auto kitty = xterm("kitty", {"sleep", "600"});
  for (int i = 0; i < 500 && tmux.run({"list-clients", "-t", "agents"}).empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }

  struct Case {
    const char* name;
    TerminalLocation location;
    const Terminal* from;
    const Terminal* to;
  };
  const Case cases[] = {
      {"the inactive xterm's tty", {"", first.tty, "", ""}, &second, &first},
      {"a device path", {"", "/dev/" + second.tty, "", ""}, &first, &second},
      {"a pane through its attached client", {"", paneTty.substr(5), pane, ""}, &first, &attached},
      {"a table entry's class", {"kitty", "", "", ""}, &first, &kitty},
  };
  for (const auto& c : cases) {
    makeActive(c.from->window);
    EXPECT_TRUE(jump(c.location)) << c.name;
    EXPECT_EQ(windows->snapshot().active, c.to->window) << c.name;
    EXPECT_EQ(xdotoolActive(), std::to_string(c.to->window)) << c.name;
  }
  EXPECT_EQ(tmux.activePane("agents"), pane);
}

}  // namespace
}  // namespace brindlet::agents
