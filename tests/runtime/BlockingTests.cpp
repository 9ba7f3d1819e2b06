#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/MainLoop.h"
#include "runtime/ProcessTable.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;

constexpr const char* kOnLoop = "blocking call on the main loop: ";

// Death tests run the binary again rather than fork it: the binary runs worker threads. Each
// check's child runs the test again up to its own check and ends there without destructors, so a
// test makes its temporary folders after its death checks.
void deathTestsRerun() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}

TEST(Blocking, CheckIsOnInTests) {
  EXPECT_TRUE(checkingBlocking());
  EXPECT_FALSE(runsMainLoop());
}

// Each blocking helper ends the process on a loop and works on the blocking worker, which answers
// on the loop.
TEST(Blocking, HelpersEndTheProcessOnTheLoopAndRunOnTheWorker) {
  deathTestsRerun();
  // Where the files go: nowhere while the process is to end before touching them.
  std::filesystem::path folder = "/nonexistent";
  struct Row {
    const char* name;
    std::function<void()> call;
  };
  const Row rows[] = {
      {"write", [&] { writeFileAtomically(folder / "written", "x"); }},
      {"read", [&] { readFile("/proc/self/stat", 4096); }},
      {"folder", [&] { makeFolder(folder / "folder"); }},
      {"scan", [] { ProcFsProcessTable().scan(); }},
      {"executables", [] { ProcFsProcessTable().executables(); }},
      {"group", [] { livingGroupMembers(::getpid()); }},
  };
  asio::io_context io;
  for (const auto& row : rows) {
    auto onLoop = [&]() -> asio::awaitable<void> {
      row.call();
      co_return;
    };
    EXPECT_DEATH(testing::runUntilDone(io, onLoop()), kOnLoop) << row.name;
  }
  testsupport::TempDir dir;
  folder = dir.path();
  for (const auto& row : rows) {
    auto offloaded = [&]() -> asio::awaitable<std::thread::id> {
      auto call = row.call;
      co_await offloadBlocking(std::move(call));
      co_return std::this_thread::get_id();
    };
    EXPECT_EQ(testing::runUntilDone(io, offloaded()), std::this_thread::get_id()) << row.name;
  }
  EXPECT_EQ(testsupport::readFile(folder / "written"), "x");
}

TEST(Blocking, MainLoopMarksItsThreadWhileItRunsAndAllowBlockingLiftsTheMark) {
  deathTestsRerun();
  const auto onMainLoop = [](auto step) {
    MainLoop loop;
    asio::post(loop.context(), [&] {
      step();
      loop.stop();
    });
    loop.run();
  };
  EXPECT_DEATH(onMainLoop([] { mayBlock("a test's call"); }),
               "blocking call on the main loop: a test's call");
  bool allowed = false;
  onMainLoop([&] {
    AllowBlocking allow;
    mayBlock("a test's call");
    allowed = true;
  });
  EXPECT_TRUE(allowed);
  EXPECT_FALSE(runsMainLoop());
  mayBlock("off the loop");
}

// The check ends the process with the call's name and the stack, before the file is even
// opened, and no catch-all on the way can swallow it.
TEST(Blocking, ReadingAFileOnARunningMainLoopEndsTheProcessEvenInsideACatchAll) {
  deathTestsRerun();
  // A file there to be read that the test need not make (see deathTestsRerun).
  const std::string file = "/proc/self/stat";
  const auto readOnLoop = [&] {
    MainLoop loop;
    asio::post(loop.context(), [&] {
      try {
        readFile(file, 4096);
      } catch (...) {
      }
      loop.stop();
    });
    loop.run();
  };
  EXPECT_DEATH(readOnLoop(), "blocking call on the main loop: readFile.*\\[0x");
  EXPECT_FALSE(readFile(file, 4096).empty());
}

// A forked child has none of its parent's threads: its offloaded calls go to a worker of its own.
TEST(Blocking, AForkedChildOffloadsToAWorkerOfItsOwn) {
  asio::io_context parent;
  auto pid = [] { return ::getpid(); };
  EXPECT_EQ(testing::runUntilDone(parent, offloadBlocking(pid)), ::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    asio::io_context io;
    std::optional<pid_t> answer;
    auto ask = [&]() -> asio::awaitable<void> { answer = co_await offloadBlocking(pid); };
    spawn(io.get_executor(), ask());
    io.run_for(std::chrono::seconds(20));
    ::_exit(answer == ::getpid() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Blocking, DrainWaitsForTheWorkersAnswers) {
  asio::io_context io;
  bool done = false;
  auto slow = [&]() -> asio::awaitable<void> {
    auto sleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    co_await offloadBlocking(std::move(sleep));
    done = true;
  };
  spawn(io.get_executor(), slow());
  testing::drain(io);
  EXPECT_TRUE(done);
  EXPECT_EQ(blockingCallsInFlight(), 0u);
}

}  // namespace
}  // namespace brindlet::runtime
