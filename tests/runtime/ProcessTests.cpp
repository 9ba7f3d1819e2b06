#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <fstream>
#include <thread>

#include "runtime/Process.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Options = Process::Options;

std::string repeated(std::string_view piece, std::size_t count) {
  std::string out;
  while (count--) out += piece;
  return out;
}

// Whether the process is gone: no entry, or ended and waiting to be reaped by someone else.
bool gone(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  auto end = stat.rfind(')');
  return end == std::string::npos || stat[end + 2] == 'Z' || stat[end + 2] == 'X';
}

// A member killed by the group's signal may still be on its way out when the leader is reaped.
bool goneSoon(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!gone(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return gone(pid);
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
    EXPECT_TRUE(gone(process.pid()) && goneSoon(grandchild)) << c.script;
  }
}

}  // namespace
}  // namespace brindlet::runtime
