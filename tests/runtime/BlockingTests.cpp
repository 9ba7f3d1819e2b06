#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <functional>
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

TEST(Blocking, CheckIsOnInTests) {
  EXPECT_TRUE(checkingBlocking());
  EXPECT_FALSE(runsMainLoop());
}

// Each blocking helper fails on a loop and works on the blocking worker, which answers on the loop.
TEST(Blocking, HelpersFailOnTheLoopAndRunOnTheWorker) {
  testsupport::TempDir dir;
  const std::string file = dir.file("written");
  struct Row {
    const char* name;
    std::function<void()> call;
  };
  const Row rows[] = {
      {"write", [&] { writeFileAtomically(file, "x"); }},
      {"read", [&] { readFile("/proc/self/stat", 4096); }},
      {"folder", [&] { makeFolder(dir.file("folder")); }},
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
    EXPECT_THROW(testing::runUntilDone(io, onLoop()), BlockingOnLoop) << row.name;
    auto offloaded = [&]() -> asio::awaitable<std::thread::id> {
      auto call = row.call;
      co_await offloadBlocking(std::move(call));
      co_return std::this_thread::get_id();
    };
    EXPECT_EQ(testing::runUntilDone(io, offloaded()), std::this_thread::get_id()) << row.name;
  }
  EXPECT_EQ(testsupport::readFile(file), "x");
}

TEST(Blocking, MainLoopMarksItsThreadWhileItRunsAndAllowBlockingLiftsTheMark) {
  MainLoop loop;
  std::string failure;
  bool allowed = false;
  asio::post(loop.context(), [&] {
    try {
      mayBlock("a test's call");
    } catch (const BlockingOnLoop& e) {
      failure = e.what();
    }
    AllowBlocking allow;
    mayBlock("a test's call");
    allowed = true;
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(failure, "blocking call on the main loop: a test's call");
  EXPECT_TRUE(allowed);
  EXPECT_FALSE(runsMainLoop());
  EXPECT_NO_THROW(mayBlock("off the loop"));
}

// The check fires on a real main loop's thread, before the file is even opened.
TEST(Blocking, ReadingAFileOnARunningMainLoopFails) {
  testsupport::TempDir dir;
  dir.write("file", "bytes");
  MainLoop loop;
  std::string failure;
  asio::post(loop.context(), [&] {
    try {
      readFile(dir.file("file"), 100);
    } catch (const BlockingOnLoop& e) {
      failure = e.what();
    }
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(failure, "blocking call on the main loop: readFile");
  EXPECT_EQ(readFile(dir.file("file"), 100), "bytes");
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
