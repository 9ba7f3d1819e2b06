#include "platform/linux/atspi/AtspiTree.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>

#include "deck/SystemReaders.h"
#include "support/AccessibilityBus.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// gtk3-demo-application on a private X server and accessibility bus, read through the deck's
// system readers. One bus and one tree serve the whole binary: libatspi keeps its first bus.
class AtspiDemo : public ::testing::Test {
 protected:
  struct Session {
    testsupport::XServer x;
    testsupport::AccessibilityBus bus{x.display()};
    std::unique_ptr<testsupport::ChildProcess> demo = x.start({"gtk3-demo-application"});
    // Outlives the worker, which lets go of the loop only after answering on it.
    asio::io_context io;
    AtspiTree tree;
    runtime::ProcFsProcessTable processes;
    runtime::SystemClock clock;
    deck::SystemReaders readers{tree, processes, clock};
  };
  static void SetUpTestSuite() { session = new Session; }
  static void TearDownTestSuite() {
    delete session;
    session = nullptr;
  }
  void SetUp() override {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (read("window[0]") != "Application Class") {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << session->demo->output();
      std::this_thread::sleep_for(100ms);
    }
  }

  std::optional<std::string> read(const std::string& path, pid_t pid = session->demo->pid()) {
    profiles::Reader reader;
    reader.reader = profiles::Reader::Kind::axValue;
    reader.path = path;
    const deck::FrontApp app{"demo", "demo", static_cast<std::int32_t>(pid)};
    std::optional<deck::ReaderValue> result;
    asio::co_spawn(io, session->readers.read(reader, app),
                   [&](std::exception_ptr error, deck::ReaderValue v) {
                     if (error) std::rethrow_exception(error);
                     result = std::move(v);
                   });
    EXPECT_TRUE(brindlet::testing::runUntil(io, [&] { return result.has_value(); }));
    return result ? result->value : std::nullopt;
  }

  static inline Session* session = nullptr;
  asio::io_context& io = session->io;
};

TEST_F(AtspiDemo, PathsReadTheRunningApp) {
  struct Row {
    std::string path;
    std::optional<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"menubar/Application/Quit", "Quit"},
      {"menubar/Preferences/Color/Red", "Red"},
      {"menubar/Application/No such item", std::nullopt},
      {"window[x]", std::nullopt},
      {"window[0]", "Application Class"},
  };
  for (const auto& row : rows) EXPECT_EQ(read(row.path), row.expected) << row.path;
}

TEST_F(AtspiDemo, ATextAppearsOnceTheAppShowsIt) {
  auto progress = session->x.start({"zenity", "--progress", "--title=Steps", "--text=Step 1"});
  ASSERT_TRUE(brindlet::testing::runUntil(
      io, [&] { return read("window[0]/Step 1", progress->pid()).has_value(); }, 20s))
      << progress->output();
  EXPECT_EQ(read("window[0]/Step 2", progress->pid()), std::nullopt);
  progress->write("# Step 2\n");
  EXPECT_TRUE(brindlet::testing::runUntil(
      io, [&] { return read("window[0]/Step 2", progress->pid()) == "Step 2"; }));
}

TEST_F(AtspiDemo, AStoppedAppNeverDelaysTheLoop) {
  ASSERT_EQ(::kill(session->demo->pid(), SIGSTOP), 0);
  // Ticks every 0.25 s while reads wait on the stopped app; none may come late.
  auto latest = std::chrono::steady_clock::duration::zero();
  bool ticking = true;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(io);
        while (ticking) {
          const auto due = std::chrono::steady_clock::now() + 250ms;
          timer.expires_at(due);
          co_await timer.async_wait(asio::use_awaitable);
          latest = std::max(latest, std::chrono::steady_clock::now() - due);
        }
      },
      asio::detached);
  for (const auto& path :
       {"menubar/Application/Quit", "window[0]", "menubar/Preferences/Color/Red"}) {
    const auto started = std::chrono::steady_clock::now();
    read(path);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << path;
  }
  ticking = false;
  EXPECT_LT(latest, 50ms);
  ::kill(session->demo->pid(), SIGCONT);
}

}  // namespace
}  // namespace brindlet::platform
