// The terminal jumper over a scripted tmux, a process table in memory and the fake window
// system: which window each location leads to, what tmux is asked, and what is refused.

#include "agents/TerminalJumper.h"

#include <sys/stat.h>

#include <map>

#include <gtest/gtest.h>

#include "desktop/FakeWindowSystem.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::agents {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using desktop::WindowId;
using runtime::ProgramRun;
using Argv = std::vector<std::string>;

// Answers each tmux command by its subcommand; records what it was asked.
class ScriptedPrograms : public runtime::ProgramRunning {
 public:
  std::map<std::string, ProgramRun> replies;
  std::vector<Argv> calls;
  std::vector<runtime::Duration> limits;

  asio::awaitable<ProgramRun> run(Argv argv, runtime::ProgramLimits limit) override {
    calls.push_back(argv);
    limits.push_back(limit.time.value_or(runtime::Duration::max()));
    const auto reply = replies.find(argv.size() > 1 ? argv[1] : "");
    co_return reply != replies.end() ? reply->second : ProgramRun{};
  }
};

class MemoryProcessTable : public runtime::ProcessTable {
 public:
  std::vector<runtime::ProcessEntry> entries;
  std::map<std::string, std::uint64_t> terminals;
  std::vector<std::string> lookups;

  std::vector<runtime::ProcessEntry> scan() override { return entries; }
  std::optional<std::uint64_t> terminalDevice(const std::string& path) override {
    lookups.push_back(path);
    const auto found = terminals.find(path);
    return found == terminals.end() ? std::nullopt : std::optional(found->second);
  }
};

// Two terminal windows with a shell each; the second shell runs a tmux client. A tmux server
// (no window) with a pane; two kitty windows, the second on top; a terminal that lost its
// session leader.
constexpr WindowId kFirst = 0x100, kSecond = 0x200, kKitty = 0x400, kKittyTop = 0x401,
                   kOrphan = 0x500;

struct World {
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  testsupport::TempDir dir;
  ScriptedPrograms programs;
  MemoryProcessTable processes;
  desktop::FakeWindowSystem windows;
  runtime::LogCapture log;
  std::string tmux = dir.file("tmux");

  World() {
    dir.write("tmux", "");
    ::chmod(tmux.c_str(), 0755);
    dir.write("not-executable", "");
    processes.entries = {
        {100, "xterm", 1, 100, 0},         {101, "bash", 100, 101, 0x8801},
        {102, "claude", 101, 101, 0x8801}, {200, "xterm", 1, 200, 0},
        {201, "bash", 200, 201, 0x8802},   {202, "tmux", 201, 201, 0x8802},
        {300, "tmux", 1, 300, 0},          {301, "bash", 300, 301, 0x8803},
        {302, "claude", 301, 301, 0x8803}, {500, "xterm", 1, 500, 0},
        {502, "claude", 500, 501, 0x8805},  // its session's leader has gone
    };
    processes.terminals = {{"/dev/pts/1", 0x8801},
                           {"/dev/pts/2", 0x8802},
                           {"/dev/pts/3", 0x8803},
                           {"/dev/pts/5", 0x8805},
                           {"/dev/tty2", 0x402}};
    desktop::WindowSnapshot snapshot{true, true, {}, std::nullopt};
    for (auto [id, pid, windowClass] :
         {std::tuple{kFirst, 100, "XTerm"}, std::tuple{kKitty, 400, "kitty"},
          std::tuple{kSecond, 200, "XTerm"}, std::tuple{kKittyTop, 401, "kitty"},
          std::tuple{kOrphan, 500, "XTerm"}}) {
      desktop::WindowInfo window;
      window.id = id;
      window.pid = pid;
      window.windowClass = windowClass;
      snapshot.windows.push_back(window);
    }
    windows.set(snapshot);
  }

  bool jump(const TerminalLocation& location) {
    TerminalJumper jumper(programs, processes, windows, clock,
                          {dir.file("missing"), dir.file("not-executable"), tmux});
    return brindlet::testing::runUntilDone(io, jumper.jump(location));
  }

  std::vector<WindowId> activated() const {
    std::vector<WindowId> ids;
    for (const auto& call : windows.calls()) ids.push_back(call.window);
    return ids;
  }
};

ProgramRun exited(std::string output, int code = 0) {
  return {ProgramRun::Ending::exited, {code, 0}, std::move(output), {}};
}

TEST(TerminalJumper, EachLocationLeadsToItsWindow) {
  const std::string clients =
      "1700000000 /dev/pts/9\n1700000100 /dev/pts/2\n1700000050 /dev/pts/1\n";
  struct Case {
    const char* name;
    TerminalLocation location;
    std::map<std::string, ProgramRun> tmux;
    std::optional<WindowId> window;  // activated, and the jump's answer is true
    std::vector<std::string> tmuxSteps;
    bool tmuxInstalled = true;
  };
  const std::vector<std::string> allSteps{"select-window", "select-pane", "list-clients"};
  const Case cases[] = {
      {"a lost session leader", {"", "pts/5", "", ""}, {}, kOrphan, {}},
      {"a terminal without a window", {"", "tty2", "", ""}, {}, std::nullopt, {}},
      {"a pane's own tty is the server's", {"", "pts/3", "", ""}, {}, std::nullopt, {}},
      {"the pane's latest client",
       {"", "pts/3", "%3", ""},
       {{"list-clients", exited(clients)}},
       kSecond,
       allSteps},
      {"a pane without clients",
       {"", "pts/3", "%3", ""},
       {{"list-clients", exited("")}},
       std::nullopt,
       allSteps},
      {"a failed list keeps the tty",
       {"", "pts/1", "%3", ""},
       {{"list-clients", exited(clients, 1)}},
       kFirst,
       allSteps},
      {"a client tty that is no device path",
       {"", "pts/1", "%3", ""},
       {{"list-clients", exited("9 ../../etc/passwd\n")}},
       std::nullopt,
       allSteps},
      {"a hung tmux is left after one step",
       {"kitty", "pts/3", "%3", ""},
       {{"select-window", {ProgramRun::Ending::timedOut, {}, {}, {}}}},
       kKittyTop,
       {"select-window"}},
      {"by program, the topmost of its class", {"kitty", "", "", ""}, {}, kKittyTop, {}},
      {"the tty wins over the program", {"kitty", "pts/1", "", ""}, {}, kFirst, {}},
      {"scripted terminals take the same road", {"iTerm.app", "pts/2", "", ""}, {}, kSecond, {}},
      {"Apple_Terminal without a tty", {"Apple_Terminal", "", "", ""}, {}, std::nullopt, {}},
      {"case matters", {"Kitty", "", "", ""}, {}, std::nullopt, {}},
      {"an application that is not running", {"ghostty", "", "", ""}, {}, std::nullopt, {}},
      {"a pane id with more than digits", {"", "", "%3;kill-server", ""}, {}, std::nullopt, {}},
      {"a pane id without %", {"", "", "3", ""}, {}, std::nullopt, {}},
      {"no terminal", {"", "?", "", ""}, {}, std::nullopt, {}},
      {"a path out of /dev", {"", "../x", "", ""}, {}, std::nullopt, {}},
      {"a path inside pts", {"", "pts/../../etc/passwd", "", ""}, {}, std::nullopt, {}},
      {"no tmux", {"", "pts/1", "%3", ""}, {}, kFirst, {}, false},
  };
  for (const auto& c : cases) {
    World world;
    world.programs.replies = c.tmux;
    if (!c.tmuxInstalled) ::chmod(world.tmux.c_str(), 0644);
    EXPECT_EQ(world.jump(c.location), c.window.has_value()) << c.name;
    EXPECT_EQ(world.activated(), c.window ? std::vector{*c.window} : std::vector<WindowId>())
        << c.name;
    std::vector<std::string> steps;
    for (std::size_t i = 0; i < world.programs.calls.size(); ++i) {
      const auto& argv = world.programs.calls[i];
      steps.push_back(argv.at(1));
      EXPECT_EQ(argv.at(0), world.tmux) << c.name;
      EXPECT_EQ(Argv(argv.begin() + 2, argv.end()),
                (argv[1] == "list-clients"
                     ? Argv{"-t", c.location.tmuxPane, "-F", "#{client_activity} #{client_tty}"}
                     : Argv{"-t", c.location.tmuxPane}))
          << c.name;
      EXPECT_EQ(world.programs.limits[i], 2s) << c.name;
    }
    EXPECT_EQ(steps, c.tmuxSteps) << c.name;
    for (const auto& path : world.processes.lookups) {
      EXPECT_EQ(path.find(".."), std::string::npos) << c.name;
    }
  }
}

// Only a window confirmed active counts; failures are logged.
TEST(TerminalJumper, AnswersTrueOnlyForAWindowThatBecameActive) {
  struct Refusing : desktop::FakeWindowSystem {
    asio::awaitable<void> activate(WindowId) override { co_return; }
  };
  {
    World world;
    world.windows.failNext(desktop::DesktopError::noSuchWindow(kFirst));
    EXPECT_FALSE(world.jump({"", "pts/1", "", ""}));
    EXPECT_EQ(world.log.messages("agents", runtime::LogLevel::error),
              std::vector<std::string>{"Jump: noSuchWindow(window: 256)"});
  }
  {
    World world;
    Refusing refusing;
    refusing.set(world.windows.snapshot());
    TerminalJumper jumper(world.programs, world.processes, refusing, world.clock, {});
    std::optional<bool> answer;
    asio::co_spawn(world.io, jumper.jump({"", "pts/1", "", ""}),
                   [&](std::exception_ptr, bool result) { answer = result; });
    brindlet::testing::runFor(world.io, *world.clock, 999ms);
    EXPECT_FALSE(answer);  // still polling
    brindlet::testing::runFor(world.io, *world.clock, 40ms);
    EXPECT_EQ(answer, false);
    EXPECT_EQ(world.log.messages("agents", runtime::LogLevel::error),
              std::vector<std::string>{"Jump: window 256 did not become active"});
  }
}

}  // namespace
}  // namespace brindlet::agents
