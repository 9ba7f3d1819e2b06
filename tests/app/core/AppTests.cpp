#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "app/core/App.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"

namespace brindlet::app {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Steps = std::vector<std::string>;

// The steps the app's roles saw, in order, up to the process's end.
class Recorder {
 public:
  void add(const std::string& step) {
    {
      std::lock_guard lock(mutex_);
      if (!ended_) steps_.push_back(step);
      ended_ = ended_ || step.rfind("end ", 0) == 0;
    }
    changed_.notify_all();
  }
  bool waitFor(const std::string& step, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, limit, [&] { return std::find(steps_.begin(), steps_.end(), step) != steps_.end(); });
  }
  bool waitForEnd() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5000ms, [&] { return ended_; });
  }
  Steps steps() {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Steps steps_;
  bool ended_ = false;
};

class FakeToolkit final : public Toolkit {
 public:
  explicit FakeToolkit(Recorder& recorder) : recorder_(recorder) {}
  void show(std::shared_ptr<Shell>, std::function<void()> quit) override {
    toolkitQuit = std::move(quit);
    recorder_.add("shown");
  }
  void runEventLoop() override {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [&] { return loopEnded_; });
  }
  void endEventLoop() override {
    {
      std::lock_guard lock(mutex_);
      if (loopEnded_) return;
      loopEnded_ = true;
    }
    recorder_.add("event loop ended");
    ended_.notify_all();
  }
  void hideWindows() override { recorder_.add("windows hidden"); }

  std::function<void()> toolkitQuit;  // Qt's own quit, as a session manager's Die sends it

 private:
  Recorder& recorder_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool loopEnded_ = false;
};

// A wait that only the loop's end ends: a step that hangs.
asio::awaitable<void> hang() {
  asio::steady_timer never(co_await asio::this_coro::executor, 24h);
  co_await never.async_wait(asio::use_awaitable);
}

class FakeSteps final : public QuitSteps {
 public:
  FakeSteps(Recorder& recorder, bool stuck) : recorder_(recorder), stuck_(stuck) {}
  asio::awaitable<void> stopWhatOutlivesTheApp() override {
    recorder_.add("first half");
    if (stuck_) co_await hang();
  }
  asio::awaitable<void> stopStreamDisplayAndLinks() override {
    recorder_.add("second half");
    co_return;
  }

 private:
  Recorder& recorder_;
  bool stuck_;
};

class FakeEnding final : public ProcessEnding {
 public:
  explicit FakeEnding(Recorder& recorder) : recorder_(recorder) {}
  void cleanUp() override { recorder_.add("clean-up"); }
  void switchOffOutputs(runtime::Duration) override { recorder_.add("outputs off"); }
  void end(int status) override { recorder_.add("end " + std::to_string(status)); }

 private:
  Recorder& recorder_;
};

enum class Road { menu, signal, toolkit, displayLoss, secondSignal, startUp, watchdog, loopEnds };

struct Row {
  const char* name;
  Road road;
  int signal;
  Steps expected;
};

const Steps inOrder{"shown",       "first half", "event loop ended", "windows hidden",
                    "second half", "clean-up",   "outputs off",      "end 0"};
const Steps cannotWait{"shown", "first half", "clean-up", "outputs off", "end 0"};

TEST(App, EveryRoadIntoTheQuitKeepsItsOrder) {
  App::catchQuitSignals();
  const Row rows[] = {
      {"the menu or Ctrl+Q", Road::menu, 0, inOrder},
      {"SIGTERM", Road::signal, SIGTERM, inOrder},
      {"SIGINT", Road::signal, SIGINT, inOrder},
      {"SIGHUP", Road::signal, SIGHUP, inOrder},
      {"the toolkit's own quit", Road::toolkit, 0, inOrder},
      {"the X server's loss", Road::displayLoss, 0, {"shown", "clean-up", "end 3"}},
      {"a second signal while the loop is stuck", Road::secondSignal, SIGTERM, cannotWait},
      {"a signal during start-up", Road::startUp, SIGTERM, {"clean-up", "outputs off", "end 0"}},
      {"the watchdog", Road::watchdog, 0, cannotWait},
      {"the event loop ended by a road of its own",
       Road::loopEnds,
       0,
       {"shown", "event loop ended", "first half", "windows hidden", "second half", "clean-up",
        "outputs off", "end 0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    runtime::MainLoop loop;
    runtime::LoopThread loopThread(loop);
    FakeToolkit toolkit(recorder);
    FakeEnding ending(recorder);
    const bool stuck = row.road == Road::secondSignal || row.road == Road::watchdog;
    const auto limit =
        row.road == Road::watchdog ? runtime::Duration(100ms) : runtime::Duration(2s);
    App app({loop, toolkit, ending, limit, 50ms});
    std::function<void()> menuQuit;
    bool building = false;
    std::mutex buildMutex;
    std::condition_variable buildBegun;
    auto build = [&](std::function<void()> quit) -> asio::awaitable<Started> {
      menuQuit = quit;
      {
        std::lock_guard lock(buildMutex);
        building = true;
      }
      buildBegun.notify_all();
      if (row.road == Road::startUp) co_await hang();
      co_return Started{nullptr, std::make_shared<FakeSteps>(recorder, stuck)};
    };
    std::thread main([&] {
      if (app.start(build)) app.run();
    });
    if (row.road == Road::startUp) {
      std::unique_lock lock(buildMutex);
      ASSERT_TRUE(buildBegun.wait_for(lock, 5s, [&] { return building; }));
    } else {
      ASSERT_TRUE(recorder.waitFor("shown"));
    }
    switch (row.road) {
      case Road::menu:
      case Road::watchdog:
        menuQuit();
        break;
      case Road::signal:
      case Road::startUp:
        ::raise(row.signal);
        break;
      case Road::toolkit:
        toolkit.toolkitQuit();
        break;
      case Road::displayLoss:
        app.displayLost();
        break;
      case Road::secondSignal:
        ::raise(row.signal);
        ASSERT_TRUE(recorder.waitFor("first half"));
        ::raise(row.signal);
        break;
      case Road::loopEnds:
        toolkit.endEventLoop();
        break;
    }
    EXPECT_TRUE(recorder.waitForEnd());
    main.join();
    EXPECT_EQ(recorder.steps(), row.expected);
  }
  for (int number : {SIGTERM, SIGINT, SIGHUP}) ::signal(number, SIG_DFL);
}

}  // namespace
}  // namespace brindlet::app
