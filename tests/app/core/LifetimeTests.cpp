#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agents/DiscoveryFile.h"
#include "agents/HookServer.h"
#include "app/core/FakePlatform.h"
#include "app/core/HostModel.h"
#include "app/core/Lifetime.h"
#include "deck/DeckEngine.h"
#include "runtime/ExitCleanup.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/Process.h"
#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::runUntilDone;

TEST(Lifetime, RefusesAWaylandSession) {
  using Text = std::optional<std::string>;
  const std::string wayland = "Brindlet needs an X11 session; this is a Wayland session";
  struct Row {
    Text sessionType, waylandDisplay, refusal;
  };
  const std::vector<Row> table{
      {"wayland", std::nullopt, wayland},
      {"wayland", "wayland-0", wayland},
      {std::nullopt, "wayland-0", wayland},  // a login that did not say
      {"", "wayland-0", wayland},
      {"x11", "wayland-0", std::nullopt},  // an X session with a nested compositor
      {"x11", std::nullopt, std::nullopt},
      {"tty", std::nullopt, std::nullopt},
      {std::nullopt, "", std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& row : table) {
    EXPECT_EQ(sessionRefusal(row.sessionType, row.waylandDisplay), row.refusal)
        << row.sessionType.value_or("(unset)") << " / " << row.waylandDisplay.value_or("(unset)");
  }
}

// The toolkit hands a session manager "-session <id>" to restart the app with.
TEST(Lifetime, TheCommandLine) {
  const struct {
    std::vector<const char*> words;
    Invocation invocation;
  } rows[] = {
      {{}, Invocation::run},
      {{"--log-both"}, Invocation::run},
      {{"-session", "10d4f2a_1700000000"}, Invocation::run},
      {{"--session", "10d4f2a", "--log-both"}, Invocation::run},
      {{"-session"}, Invocation::mistaken},
      {{"--help"}, Invocation::help},
      {{"-session", "x", "extra"}, Invocation::mistaken},
      {{"--log-bot"}, Invocation::mistaken},
  };
  for (const auto& row : rows) {
    std::vector<const char*> argv{"brindlet"};
    argv.insert(argv.end(), row.words.begin(), row.words.end());
    EXPECT_EQ(invocationOf(static_cast<int>(argv.size()), argv.data()), row.invocation)
        << argv.size();
  }
}

TEST(Lifetime, OneInstanceHoldsTheLock) {
  testsupport::TempDir dir;
  const auto path = std::filesystem::path(dir.path()) / "brindlet" / "instance.lock";
  {
    auto first = InstanceLock::acquire(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(InstanceLock::acquire(path));
    // Another process is refused too.
    const pid_t child = fork();
    if (child == 0) _exit(InstanceLock::acquire(path) ? 0 : 3);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 3);
  }
  EXPECT_TRUE(InstanceLock::acquire(path));
  EXPECT_EQ(std::filesystem::status(path.parent_path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

TEST(Lifetime, DescendantsFollowParentLinks) {
  const std::vector<runtime::ProcessEntry> table{{10, "app", 1},    {11, "zsh", 10},
                                                 {12, "sleep", 11}, {13, "other", 1},
                                                 {14, "x", 13},     {15, "qt", 10}};
  auto found = descendantsOf(10, table);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<int>{11, 12, 15}));
  EXPECT_TRUE(descendantsOf(14, table).empty());
}

// The quit's own way, with a grace, and the one for exits that cannot wait for the loop.
using Ender = std::pair<const char*, std::function<void(boost::asio::io_context&)>>;
std::vector<Ender> enders() {
  return {
      {"awaited",
       [](boost::asio::io_context& io) {
         runtime::ProcFsProcessTable table;
         auto clock = runtime::Clock::system();
         runUntilDone(io, endChildGroups(table, *clock, 300ms));
       }},
      {"at once",
       [](boost::asio::io_context&) {
         runtime::ProcFsProcessTable table;
         killChildGroups(table);
       }},
  };
}

TEST(Lifetime, ChildGroupsEndWithTheirChildren) {
  for (const auto& [name, end] : enders()) {
    SCOPED_TRACE(name);
    runtime::MainLoop loop;
    auto& io = loop.context();
    runtime::Process::Options options;
    // A shell in its own group whose background child ignores SIGTERM.
    options.argv = {"/bin/sh", "-c", "trap '' TERM; sleep 600 & echo $!; wait"};
    auto shell = runtime::Process::start(io.get_executor(), options);
    ASSERT_TRUE(brindlet::testing::runUntil(io, [&] { return !shell.output().empty(); }));
    const int grandchild = std::stoi(shell.output());
    const auto start = std::chrono::steady_clock::now();
    end(io);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    brindlet::testing::runUntilDone(io, shell.exited());
    EXPECT_TRUE(brindlet::testing::runUntil(
        io, [&] { return kill(grandchild, 0) != 0; }, 2000ms))
        << "sleep " << grandchild << " is still there";
  }
}

// Gone, or a zombie waiting for whoever adopted it.
bool ended(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto end = line.rfind(')');
  return end != std::string::npos && line.compare(end, 3, ") Z") == 0;
}

// Fills the exit clean-up's free places with ids no process group can have (past any pid), for
// its lifetime.
class FullExitList {
 public:
  FullExitList() {
    for (pid_t fake = 0x7fff0000; runtime::endGroupOnExit(fake); ++fake) fakes_.push_back(fake);
  }
  ~FullExitList() {
    for (const pid_t fake : fakes_) runtime::keepGroupOnExit(fake);
  }

 private:
  std::vector<pid_t> fakes_;
};

// Also when the exit clean-up's list is full: the group it refused is then the quit's alone, and
// the log says so once.
TEST(Lifetime, ProgramsADeckKeyPutInTheBackgroundLiveOnAndEndAtQuit) {
  for (const bool full : {false, true}) {
    for (const auto& [name, end] : enders()) {
      SCOPED_TRACE(std::string(name) + (full ? ", the exit's list full" : ""));
      std::optional<FullExitList> fill;
      if (full) fill.emplace();
      runtime::LogCapture log;
      runtime::MainLoop loop;
      auto& io = loop.context();
      runtime::Process::Options options;
      // As a shell action runs `program &`: the shell ends at once, the program writes later.
      options.argv = {"/bin/sh", "-c", "sh -c 'sleep 0.2; echo late >&2; sleep 5' & echo $!"};
      auto shell = runtime::Process::start(io.get_executor(), options);
      runUntilDone(io, shell.exited());
      const int program = std::stoi(shell.output());
      EXPECT_THAT(runtime::groupsLeftBehind(), ::testing::Contains(shell.pid()));
      std::this_thread::sleep_for(1s);
      ASSERT_FALSE(ended(program)) << "the program died with its shell";
      end(io);
      EXPECT_TRUE(brindlet::testing::runUntil(
          io, [&] { return ended(program); }, 2000ms))
          << "sh " << program << " is still there";
      const auto said = log.messages("runtime", runtime::LogLevel::info);
      const auto told = std::ranges::count_if(
          said, [](const std::string& line) { return line.find("quit only") != line.npos; });
      EXPECT_EQ(told, full ? 1 : 0) << ::testing::PrintToString(said);
    }
  }
}

// A child that shares the app's own group is no program of the app's: a reader of its standard
// error that the shell made its child (`brindlet 2> >(tee log)`) reads on through the quit.
TEST(Lifetime, AChildInTheAppsOwnGroupOutlivesTheQuit) {
  for (const auto& [name, end] : enders()) {
    SCOPED_TRACE(name);
    runtime::MainLoop loop;
    const pid_t reader = fork();
    if (reader == 0) {
      for (;;) pause();
    }
    end(loop.context());
    int status = 0;
    EXPECT_FALSE(brindlet::testing::runUntil(
        loop.context(), [&] { return waitpid(reader, &status, WNOHANG) == reader; }, 500ms))
        << "the reader was ended";
    kill(reader, SIGKILL);
    waitpid(reader, &status, 0);
  }
}

// The app's children as the table lists them.
class ListedChildren : public runtime::ProcessTable {
 public:
  explicit ListedChildren(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) entries_.push_back({pid, "sh", getpid()});
  }
  std::vector<runtime::ProcessEntry> scan() override { return entries_; }
  std::optional<std::uint64_t> terminalDevice(const std::string&) override { return {}; }

 private:
  std::vector<runtime::ProcessEntry> entries_;
};

// A group whose ended members wait for a reaper that takes its time (this test): the quit takes
// the group as ended once none of its members runs, without waiting out the grace.
TEST(Lifetime, AGroupOfZombiesHasEnded) {
  const struct {
    const char* name;
    std::vector<bool> running;  // per member, the first leading the group
    bool ended;
  } table[] = {
      {"every member a zombie", {false, false}, true},
      {"one member still running", {false, true}, false},
      {"no member", {}, true},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    std::vector<pid_t> members;
    for (std::size_t i = 0; i < row.running.size(); ++i) {
      const pid_t group = members.empty() ? 0 : members.front();
      // Only the grace's SIGKILL ends a member: it ignores SIGTERM from its first moment on,
      // before the quit's SIGTERM can come.
      const auto before = signal(SIGTERM, SIG_IGN);
      const pid_t pid = fork();
      if (pid == 0) {
        setpgid(0, group);
        for (;;) pause();
      }
      signal(SIGTERM, before);
      setpgid(pid, group);  // from both sides: set before either goes on
      members.push_back(pid);
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (row.running[i]) continue;
      kill(members[i], SIGKILL);
      siginfo_t info{};
      waitid(P_PID, members[i], &info, WEXITED | WNOWAIT);  // ended, and left unreaped
    }
    runtime::MainLoop loop;
    auto& io = loop.context();
    runtime::ManualClock clock;
    ListedChildren children(members);
    bool done = false;
    runtime::spawn(io.get_executor(),
                   [](runtime::ProcessTable& table, runtime::Clock& clock,
                      bool& done) -> boost::asio::awaitable<void> {
                     co_await endChildGroups(table, clock, 10s);
                     done = true;
                   }(children, clock, done));
    // Without the clock moving, only an ended group lets the quit go on.
    EXPECT_EQ(brindlet::testing::runUntil(
                  io, [&] { return done; }, 1500ms),
              row.ended);
    clock.advance(11s);
    EXPECT_TRUE(brindlet::testing::runUntil(io, [&] { return done; }));
    for (pid_t pid : members) {
      int status = 0;
      EXPECT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << pid;
    }
  }
}

TEST(Lifetime, ShutDownStopsTheHookServerTransportAndDeck) {
  FakePlatform platform;
  auto& io = platform.loop().context();
  auto model = platform.buildModel();
  const auto json = model->hookFolder / "server.json";
  ASSERT_TRUE(brindlet::testing::runUntil(io, [&] { return std::filesystem::exists(json); }));
  EXPECT_TRUE(platform.quit(*model));
  EXPECT_FALSE(std::filesystem::exists(json));
  EXPECT_FALSE(std::filesystem::exists(model->hookFolder / "server.headers"));
  EXPECT_FALSE(model->hookServer->port());
}

}  // namespace
}  // namespace brindlet::app::testing
