#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "runtime/Blocking.h"
#include "runtime/ExitCleanup.h"
#include "runtime/ManualClock.h"
#include "runtime/Process.h"
#include "runtime/ProcessTable.h"
#include "runtime/ProgramRunner.h"
#include "runtime/Task.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

using brindlet::testing::runUntilDone;

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Options = Process::Options;

std::string repeated(std::string_view piece, std::size_t count) {
  std::string out;
  while (count--) out += piece;
  return out;
}

TEST(Process, ReadsOutputWhileTheChildRunsAndStopsAtItsEnd) {
  // Descriptors open without close-on-exec that the children must not see.
  asio::io_context loop;
  asio::ip::tcp::acceptor acceptor(loop, {asio::ip::address_v4::loopback(), 0});
  int plain = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(plain, 0);

  struct Case {
    const char* script;
    std::size_t limit;
    std::string output;
    bool truncated;
    ExitStatus status;
  };
  const Case cases[] = {
      {"yes | head -c 2000000", 4 << 20, repeated("y\n", 1000000), false, {}},
      {"yes | head -c 2000000", 1000, repeated("y\n", 500), true, {}},
      {"echo out; echo error >&2; exit 3", 1000, "out\nerror\n", false, {3, 0}},
      {"ls /proc/$$/fd", 1000, "0\n1\n2\n", false, {}},
      // The background child keeps the pipe open; its parent's end is what counts.
      {"sleep 30 & echo started", 1000, "started\n", false, {}},
      {"yes & sleep 0.1", 1000, repeated("y\n", 500), true, {}},  // and writes on
      {"kill -USR1 $$", 1000, "", false, {0, SIGUSR1}},
  };
  for (const auto& c : cases) {
    auto started = std::chrono::steady_clock::now();
    auto process = Process::start(
        loop.get_executor(), Options{{"sh", "-c", c.script}, Process::Input::none, true, c.limit});
    auto status = runUntilDone(loop, process.exited());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << c.script;
    EXPECT_EQ(status, c.status) << c.script;
    EXPECT_EQ(process.status(), c.status) << c.script;
    EXPECT_EQ(process.output(), c.output) << c.script;
    EXPECT_EQ(process.outputTruncated(), c.truncated) << c.script;
  }
  ::close(plain);
}

// A program started in the background writes after its shell's result: it must not die of a
// broken pipe, and it ends with its group when the process goes.
TEST(Process, ABackgroundProgramWritesOnAfterTheResult) {
  asio::io_context loop;
  std::optional<Process> process =
      Process::start(loop.get_executor(),
                     Options{{"sh", "-c", "sh -c 'sleep 0.2; echo late >&2; sleep 5' & echo $!"}});
  EXPECT_EQ(runUntilDone(loop, process->exited()), ExitStatus{});
  const pid_t background = std::stoi(process->output());
  brindlet::testing::runUntil(
      loop, [] { return false; }, 1000ms);
  EXPECT_FALSE(testsupport::processGone(background));
  EXPECT_TRUE(process->outputHeld());
  EXPECT_EQ(process->output(), std::to_string(background) + "\n");  // what came later is dropped
  process.reset();
  EXPECT_TRUE(testsupport::processesGone({background}));
}

// What a program left behind writes is discarded off the loop: one that writes without pause
// costs the loop next to nothing and lives on until the process goes; one that writes a lot and
// then ends is never stuck on a full pipe, and its release comes.
TEST(Process, WhatIsLeftBehindIsDiscardedOffTheLoop) {
  testsupport::TempDir dir;
  asio::io_context loop;
  const auto pidFile = dir.file("pid");
  std::optional<Process> chatty =
      Process::start(loop.get_executor(), Options{{"sh", "-c", "yes & echo $! > " + pidFile}});
  runUntilDone(loop, chatty->exited());
  const pid_t yes = std::stoi(testsupport::readFile(pidFile));
  loop.restart();
  EXPECT_LT(loop.run_for(500ms), 20u) << "handlers the loop ran for the output";
  EXPECT_FALSE(testsupport::processGone(yes));
  EXPECT_TRUE(chatty->outputHeld());
  EXPECT_THAT(groupsEndedOnExit(), ::testing::Contains(chatty->pid()));

  const auto done = dir.file("done");
  Process writer =
      Process::start(loop.get_executor(),
                     Options{{"sh", "-c", "(head -c 3000000 /dev/zero; echo > " + done + ") &"}});
  runUntilDone(loop, writer.exited());
  runUntilDone(loop, writer.released());
  EXPECT_TRUE(std::filesystem::exists(done));
  EXPECT_THAT(groupsEndedOnExit(), ::testing::Not(::testing::Contains(writer.pid())));

  chatty.reset();
  EXPECT_TRUE(testsupport::processesGone({yes}));
}

asio::awaitable<void> runInto(ProgramRunning& runner, std::vector<std::string> argv,
                              ProgramLimits limits, std::optional<ProgramRun>& run) {
  auto running = runner.run(std::move(argv), limits);
  run = co_await std::move(running);
}

// A program that itself writes without pause, up to its time-out: past the limit its output is
// discarded off the loop, which then has next to nothing to do, and the result keeps its start.
TEST(ProgramRunner, AProgramsOutputPastTheLimitIsDiscardedOffTheLoop) {
  asio::io_context loop;
  auto clock = std::make_shared<ManualClock>();
  ProgramRunner runner(loop.get_executor(), clock);
  ProgramLimits limits;
  limits.time = 10s;
  limits.output = 1000;
  std::optional<ProgramRun> run;
  spawn(loop.get_executor(), runInto(runner, {"yes"}, limits, run));
  loop.run_for(200ms);  // started, and past the limit
  loop.restart();
  EXPECT_LT(loop.run_for(500ms), 20u) << "handlers the loop ran for the output";
  clock->advance(10s);
  brindlet::testing::runUntil(
      loop, [&] { return run.has_value(); }, 5000ms);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->ending, ProgramRun::Ending::timedOut);
  EXPECT_EQ(run->output, repeated("y\n", 500));
}

// The pid's parent, from its stat line; 0 when it cannot be read.
pid_t parentOf(pid_t pid) {
  const auto stat =
      parseProcessStat(testsupport::readFile("/proc/" + std::to_string(pid) + "/stat"));
  return stat ? stat->parent : 0;
}

asio::awaitable<void> awaitHandedOff(std::vector<std::string> argv) {
  co_await handOff(std::move(argv));
}

// A handed-off program is none of ours: in another session, no descendant of ours, with none of
// our descriptors and no signal ignored, not among the groups left behind, and it outlives the
// wait. How it ended is the wait's result.
TEST(Process, AHandedOffProgramIsNoneOfOurs) {
  testsupport::TempDir dir;
  asio::io_context loop;
  const auto pidFile = dir.file("pid");
  auto waiting =
      spawn(loop.get_executor(), awaitHandedOff({"sh", "-c",
                                                 "echo $$ > " + pidFile + ".part; mv " + pidFile +
                                                     ".part " + pidFile + "; exec sleep 60"}));
  ASSERT_TRUE(brindlet::testing::runUntil(
      loop, [&] { return std::filesystem::exists(pidFile); }, 5s));
  const pid_t program = std::stoi(testsupport::readFile(pidFile));
  const auto descendant = [&] {
    for (pid_t at = program; at > 1; at = parentOf(at))
      if (at == ::getpid()) return true;
    return false;
  };
  EXPECT_TRUE(brindlet::testing::runUntil(
      loop, [&] { return !descendant(); }, 5s));
  const auto stat =
      parseProcessStat(testsupport::readFile("/proc/" + std::to_string(program) + "/stat"));
  ASSERT_TRUE(stat);
  EXPECT_NE(stat->session, ::getsid(0));
  EXPECT_THAT(groupsEndedOnExit(), ::testing::Not(::testing::Contains(stat->group)));
  // The program may still be starting, with files of its own open for a moment (sleep reads
  // its locale's); one of ours would stay.
  const std::vector<std::string> standardOnly{"0 /dev/null", "1 /dev/null", "2 /dev/null"};
  std::vector<std::string> descriptors;
  const auto onlyStandard = [&] {
    descriptors.clear();
    std::error_code error;
    const auto folder = "/proc/" + std::to_string(program) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(folder, error))
      descriptors.push_back(fd.path().filename().string() + " " +
                            std::filesystem::read_symlink(fd.path(), error).string());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors == standardOnly;
  };
  EXPECT_TRUE(testsupport::eventually(onlyStandard, 2s, 10ms))
      << ::testing::PrintToString(descriptors);
  // A shell's background job ignores SIGINT and SIGQUIT; what it opens must not.
  const auto status = testsupport::readFile("/proc/" + std::to_string(program) + "/status");
  const auto ignored = status.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos);
  const auto mask = std::stoull(status.substr(ignored + 8, 16), nullptr, 16);
  EXPECT_EQ(mask & ((1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1))), 0u) << status;
  waiting.cancel();
  brindlet::testing::drain(loop);
  EXPECT_FALSE(testsupport::processGone(program));
  ::kill(program, SIGKILL);

  const struct {
    std::vector<std::string> argv;
    ExitStatus status;
    std::string error;
  } rows[] = {
      {{"true"}, {}, ""},
      {{"sh", "-c", "exit 4"}, {4, 0}, ""},
      {{"sh", "-c", "kill -TERM $$"}, {0, SIGTERM}, ""},
      {{"brindlet-no-such-program"}, {}, R"(programNotFound("brindlet-no-such-program"))"},
  };
  for (const auto& row : rows) {
    try {
      EXPECT_EQ(runUntilDone(loop, handOff(row.argv)), row.status) << row.argv.back();
      EXPECT_EQ(row.error, "");
    } catch (const ProcessError& error) {
      EXPECT_EQ(error.text(), row.error);
    }
  }
}

TEST(Process, ProgramsThatCannotRunAreTypedErrors) {
  asio::io_context loop;
  testsupport::TempDir dir;
  dir.write("plain", "echo not a program");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"brindlet-no-such-program"}, R"(programNotFound("brindlet-no-such-program"))"},
      {{"/no/such/folder/program"}, R"(programNotFound("/no/such/folder/program"))"},
      {{dir.file("plain")},
       R"(cannotStart(program: ")" + dir.file("plain") + R"(", reason: "Permission denied"))"},
      {{}, R"(programNotFound(""))"},
  };
  for (const auto& [argv, text] : cases) {
    try {
      Process::start(loop.get_executor(), Options{argv});
      ADD_FAILURE() << text;
    } catch (const ProcessError& e) {
      EXPECT_EQ(e.text(), text);
    }
  }
}

TEST(Process, TerminatingTheGroupEndsTheChildAndWhatItStartedAfterTheGrace) {
  struct Case {
    const char* script;
    Duration step;  // how far the clock moves each turn that someone sleeps on it
    int signal;
  };
  const Case cases[] = {
      {"sleep 60 & echo $!; wait", 10ms, SIGTERM},
      {"trap '' TERM; sleep 60 & echo $!; wait", 5s, SIGKILL},  // both ignore SIGTERM
  };
  for (const auto& c : cases) {
    asio::io_context loop;
    auto clock = std::make_shared<ManualClock>();
    auto process = Process::start(loop.get_executor(), Options{{"sh", "-c", c.script}}, clock);
    while (process.output().find('\n') == std::string::npos) loop.run_one_for(5s);
    const pid_t grandchild = std::stoi(process.output());
    std::optional<ExitStatus> status;
    asio::co_spawn(loop, process.terminateGroup(5s),
                   [&](std::exception_ptr, ExitStatus s) { status = s; });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!status && std::chrono::steady_clock::now() < deadline) {
      loop.run_one_for(10ms);
      if (clock->sleeperCount() > 0) clock->advance(c.step);
    }
    ASSERT_TRUE(status) << c.script;
    EXPECT_EQ(*status, (ExitStatus{0, c.signal})) << c.script;
    EXPECT_TRUE(testsupport::processesGone({process.pid(), grandchild})) << c.script;
  }
}

// A group ends as its last member does: the end is seen through the members' pidfds, not by
// looking again later. The clock never moves, so a wait on it would never end. The grandchild
// ignores SIGTERM and forks its second sleep after the signal; it exits when that sleep has.
TEST(Process, TheEndOfAGroupIsSeenAsItsLastMemberExits) {
  asio::io_context loop;
  auto clock = std::make_shared<ManualClock>();
  const char* script = "sh -c 'trap \"\" TERM; echo $$; sleep 0.1; sleep 0.2' & wait";
  auto process = Process::start(loop.get_executor(), Options{{"sh", "-c", script}}, clock);
  while (process.output().find('\n') == std::string::npos) loop.run_one_for(5s);
  const pid_t grandchild = std::stoi(process.output());
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, grandchild, 0));
  ASSERT_GE(pidfd, 0);
  std::chrono::steady_clock::time_point exited;
  std::thread watch([&] {
    pollfd ready{pidfd, POLLIN, 0};
    ::poll(&ready, 1, 10000);
    exited = std::chrono::steady_clock::now();
  });

  std::optional<ExitStatus> status;
  std::chrono::steady_clock::time_point seen;
  const auto signalled = std::chrono::steady_clock::now();
  asio::co_spawn(loop, process.terminateGroup(5s), [&](std::exception_ptr, ExitStatus s) {
    status = s;
    seen = std::chrono::steady_clock::now();
  });
  const auto deadline = signalled + 5s;
  while (!status && std::chrono::steady_clock::now() < deadline) loop.run_one_for(10ms);
  watch.join();
  ::close(pidfd);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ExitStatus{0, SIGTERM}));
  EXPECT_GE(exited - signalled, 100ms);
  const auto late = std::chrono::duration<double, std::milli>(seen - exited).count();
  // Seen at all proves the pidfds: the clock never moved. How soon is a figure, not a bound.
  std::printf("group end seen %.3f ms after its last member's exit\n", late);
}

TEST(Process, StartingIsABlockingCallThatLaunchMakesOnTheWorker) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  asio::io_context loop;
  auto onLoop = [&]() -> asio::awaitable<void> {
    Process::start(loop.get_executor(), Options{{"true"}});
    co_return;
  };
  EXPECT_DEATH(runUntilDone(loop, onLoop()), "blocking call on the main loop");
  auto launched = [&]() -> asio::awaitable<ExitStatus> {
    auto launching = Process::launch(loop.get_executor(), Options{{"sh", "-c", "exit 4"}});
    auto process = co_await std::move(launching);
    co_return co_await process.exited();
  };
  EXPECT_EQ(runUntilDone(loop, launched()), (ExitStatus{4, 0}));
}

// The size of the pipe a process writes its standard output to; -1 when it cannot be told.
int outputPipeSize(pid_t pid) {
  const auto path = "/proc/" + std::to_string(pid) + "/fd/1";
  const int pipe = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (pipe < 0) return -1;
  const int size = ::fcntl(pipe, F_GETPIPE_SZ);
  ::close(pipe);
  return size;
}

// Programs run to their end, or their group ended at the limit: killed at once, or after a
// grace that the run does not wait for.
TEST(ProgramRunner, RunsToTheEndOrEndsTheGroupAtTheLimit) {
  const auto limited = [](std::optional<Duration> time, std::size_t output, Duration grace) {
    ProgramLimits limits;
    limits.time = time;
    limits.output = output;
    limits.grace = grace;
    return limits;
  };
  // What becomes of the process whose pid the program printed.
  enum class Printed { nothing, lives, livesInADefaultPipe, endsAtOnce, endsAfterTheGrace };
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    ProgramLimits limits;
    ProgramRun::Ending ending;
    ExitStatus status;
    std::string output;  // unless it printed a pid
    std::string error;
    Printed printed;
  };
  using Ending = ProgramRun::Ending;
  using P = Printed;
  const Case cases[] = {
      // clang-format off
      {"output and status", {"sh", "-c", "echo out; echo error >&2; exit 3"},
       limited(300ms, 1000, {}), Ending::exited, {3, 0}, "out\nerror\n", "", P::nothing},
      {"output cut at the limit", {"sh", "-c", "yes | head -c 5000"},
       limited(std::nullopt, 1000, {}), Ending::exited, {}, repeated("y\n", 500), "", P::nothing},
      // The drain keeps pace with a program that writes a lot past its limit and then ends.
      {"64 MiB past the limit, then the end",
       {"sh", "-c", "printf %1000s | tr ' ' y; head -c 67108864 /dev/zero; exit 5"},
       limited(2s, 1000, {}), Ending::exited, {5, 0}, repeated("y", 1000), "", P::nothing},
      // Past its limit while the program runs, the drain widens the pipe to keep pace; what the
      // program left writing gets it back at a default pipe's size.
      {"left writing past the limit", {"sh", "-c", "sh -c 'echo $$; exec yes' & sleep 0.3"},
       limited(2s, 1000, {}), Ending::exited, {}, "", "", P::livesInADefaultPipe},
      {"start error", {"brindlet-no-such-program"},
       limited(300ms, 1000, {}), Ending::notStarted, {}, "",
       R"(programNotFound("brindlet-no-such-program"))", P::nothing},
      {"grandchild outlives its parent", {"sh", "-c", "sleep 60 & echo $!"},
       limited(300ms, 1000, 300ms), Ending::exited, {}, "", "", P::lives},
      {"killed at the limit", {"sh", "-c", "sleep 60 & echo $!; wait"},
       limited(300ms, 1000, {}), Ending::timedOut, {}, "", "", P::endsAtOnce},
      {"ignores SIGTERM: killed after the grace",
       {"sh", "-c", "trap '' TERM; sleep 60 & echo $!; wait"},
       limited(300ms, 1000, 300ms), Ending::timedOut, {}, "", "", P::endsAfterTheGrace},
      {"grandchild ignores SIGTERM after its parent has gone",
       {"sh", "-c", "sh -c \"trap '' TERM; sleep 60\" & echo $!; wait"},
       limited(300ms, 1000, 300ms), Ending::timedOut, {}, "", "", P::endsAfterTheGrace},
      // clang-format on
  };
  for (const auto& c : cases) {
    asio::io_context loop;
    std::optional<pid_t> printed;
    {
      ProgramRunner runner(loop.get_executor(), Clock::system());
      const auto started = std::chrono::steady_clock::now();
      const auto run = runUntilDone(loop, runner.run(c.argv, c.limits));
      const auto took = std::chrono::steady_clock::now() - started;
      EXPECT_LT(took, std::max<Duration>(1s, c.limits.time.value_or(1s))) << c.name;
      EXPECT_EQ(run.ending, c.ending) << c.name;
      EXPECT_EQ(run.status, c.status) << c.name;
      EXPECT_EQ(run.error, c.error) << c.name;
      if (c.printed == Printed::nothing) {
        EXPECT_EQ(run.output, c.output) << c.name;
        // Nothing left running; output past the limit may still be on its way to the drain,
        // which lets the program go once its pipe ends.
        loop.run_for(std::chrono::seconds(1));
        continue;
      }
      printed = std::stoi(run.output);
      const auto gone = [&] { return testsupport::processGone(*printed); };
      switch (c.printed) {
        case Printed::lives:
          EXPECT_FALSE(gone()) << c.name;
          break;
        case Printed::livesInADefaultPipe: {
          const auto narrowed = [&] { return outputPipeSize(*printed) == 64 << 10; };
          EXPECT_TRUE(brindlet::testing::runUntil(loop, narrowed, 2s))
              << c.name << ": " << outputPipeSize(*printed);
          EXPECT_FALSE(gone()) << c.name;
          break;
        }
        case Printed::endsAtOnce:
          EXPECT_TRUE(testsupport::processesGone({*printed})) << c.name;
          break;
        case Printed::endsAfterTheGrace: {
          EXPECT_FALSE(gone()) << c.name;
          EXPECT_TRUE(brindlet::testing::runUntil(loop, gone, 3s)) << c.name;
          EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms) << c.name;
          break;
        }
        case Printed::nothing:
          break;
      }
    }
    // Destroying the runner ended nothing that was not its own.
    if (c.printed == Printed::lives) {
      EXPECT_FALSE(testsupport::processGone(*printed)) << c.name;
    }
    if (printed) ::kill(*printed, SIGKILL);
    brindlet::testing::drain(loop);
  }
}

// What a runner leaves running is its own: destroying it ends a detached program, a group still
// in its grace, and what a finished program started in the background.
TEST(ProgramRunner, EndsWhatItLeftRunningWhenDestroyed) {
  testsupport::TempDir dir;
  asio::io_context loop;
  std::string detached = dir.file("detached");
  std::optional<ProgramRunner> runner;
  runner.emplace(loop.get_executor(), Clock::system());
  runner->detach({"sh", "-c",
                  "echo $$ > " + detached + ".part; mv " + detached + ".part " + detached +
                      "; exec sleep 60"});
  ProgramLimits limits;
  limits.time = 100ms;
  limits.grace = 60s;
  const auto run = runUntilDone(
      loop, runner->run({"sh", "-c", "trap '' TERM; sleep 60 & echo $!; wait"}, limits));
  ASSERT_EQ(run.ending, ProgramRun::Ending::timedOut);
  ASSERT_TRUE(brindlet::testing::runUntil(
      loop, [&] { return std::filesystem::exists(detached); }, 5s));
  const pid_t ignoring = std::stoi(run.output);
  const pid_t sleeping = std::stoi(testsupport::readFile(detached));
  const auto finished =
      runUntilDone(loop, runner->run({"sh", "-c", "sh -c 'echo; sleep 60' & echo $!"}, {}));
  ASSERT_EQ(finished.ending, ProgramRun::Ending::exited);
  const pid_t background = std::stoi(finished.output);
  brindlet::testing::drain(loop);
  EXPECT_FALSE(testsupport::processGone(ignoring));
  EXPECT_FALSE(testsupport::processGone(background));
  runner.reset();
  brindlet::testing::drain(loop);
  EXPECT_TRUE(testsupport::processesGone({ignoring, sleeping, background}));
}

// A process in a session of its own on a new pseudo-terminal, as a terminal window starts its
// shell; the kernel cuts the command name to 15 bytes, the executable's file name is whole.
TEST(ProcFsProcessTable, ReadsNamesFamiliesAndControllingTerminals) {
  testsupport::TempDir dir;
  const auto program = dir.file("a-rather-long-program-name");
  std::filesystem::copy_file("/bin/sleep", program);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  testsupport::ChildProcess child(
      {"sh", "-c", "exec setsid -w -c '" + program + "' 30 < " + terminal});

  ProcFsProcessTable table;
  std::optional<ProcessEntry> found;
  for (int i = 0; i < 400 && !found; ++i) {
    for (const auto& entry : table.scan()) {
      if (entry.parent == child.pid() && entry.executable == "a-rather-long-program-name") {
        found = entry;
      }
    }
    if (!found) std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(found->session, found->pid);
  EXPECT_NE(found->terminal, 0u);
  EXPECT_EQ(table.terminalDevice(terminal), found->terminal);
  EXPECT_EQ(table.terminalDevice(dir.path()), std::nullopt);
  EXPECT_EQ(table.terminalDevice(dir.file("missing")), std::nullopt);
  const auto all = table.scan();
  const auto self = std::ranges::find(all, ::getpid(), &ProcessEntry::pid);
  ASSERT_NE(self, all.end());
  EXPECT_EQ(self->session, ::getsid(0));
  EXPECT_EQ(self->parent, ::getppid());
  child.stop();
  ::close(master);
}

// Processes end between the listing of /proc and the read of their files all the time: the read
// then fails (ESRCH), and a scan must take the process as gone. A folder whose "stat" cannot be
// read stands for one; children started and reaped without pause on another thread give the
// real race while both scans run.
TEST(ProcFsProcessTable, TakesAProcessWhoseFilesCannotBeReadAsGone) {
  testsupport::TempDir root;
  const auto process = [&](const std::string& pid, const std::string& stat) {
    std::filesystem::create_directories(root.file(pid));
    std::ofstream(root.file(pid + "/stat")) << stat;
    std::filesystem::create_symlink("/bin/sleep", root.file(pid + "/exe"));
  };
  std::filesystem::create_directories(root.file("100/stat"));  // read() fails: EISDIR
  process("101", "101 (a) S 1 7 7 0");
  process("102", "102 (b) Z 1 8 8 0");
  std::filesystem::create_directories(root.file("self"));
  const struct {
    int group;
    std::vector<int> living;
  } cases[] = {{7, {101}}, {8, {}}, {100, {}}, {9, {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(livingGroupMembers(c.group, root.path()), c.living) << c.group;
  }
  EXPECT_EQ(groupsStillRunning({7, 8, 100, 9}, root.path()), (std::set<int>{7}));
  ProcFsProcessTable table(root.path());
  std::vector<int> pids;
  for (const auto& entry : table.scan()) pids.push_back(entry.pid);
  std::ranges::sort(pids);
  EXPECT_EQ(pids, (std::vector<int>{101, 102}));

  // A folder without an executable (a kernel thread) is passed over from then on, but a process
  // that comes later under its pid has a new folder and is read.
  std::filesystem::create_directories(root.file("103"));
  EXPECT_EQ(table.executables(), (std::vector<std::string>{"sleep", "sleep"}));
  process("next", "103 (c) S 1 9 9 0");  // made while the old folder still holds its inode
  std::filesystem::remove(root.file("103"));
  std::filesystem::rename(root.file("next"), root.file("103"));
  EXPECT_EQ(table.executables().size(), 3u);

  std::atomic<bool> done = false;
  std::thread churn([&] {
    while (!done) {
      const pid_t pid = ::fork();
      if (pid == 0) ::_exit(0);
      if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
  });
  ProcFsProcessTable live;
  const auto until = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_NO_THROW(live.scan());
    EXPECT_NO_THROW(EXPECT_TRUE(livingGroupMembers(-2).empty()));
  }
  done = true;
  churn.join();
  EXPECT_THAT(livingGroupMembers(::getpgrp()), ::testing::Contains(::getpid()));
}

}  // namespace
}  // namespace brindlet::runtime
