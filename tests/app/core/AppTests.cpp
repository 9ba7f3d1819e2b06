#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "app/core/App.h"
#include "runtime/Log.h"
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

// The app's log lines of its own area, as steps: the quit's road; an error's marked so.
class RecordedLog final : public runtime::LogSink {
 public:
  explicit RecordedLog(Recorder& recorder) : recorder_(recorder) {}
  void write(const runtime::LogEntry& entry) override {
    if (entry.category != "app" || entry.level == runtime::LogLevel::debug) return;
    recorder_.add((entry.level == runtime::LogLevel::error ? "error: " : "") + entry.message);
  }

 private:
  Recorder& recorder_;
};

// The toolkit's event loop runs what is posted to it until it ends.
class FakeToolkit final : public Toolkit {
 public:
  explicit FakeToolkit(Recorder& recorder) : recorder_(recorder) {}
  void takeQuit(std::function<void()> quit) override { toolkitQuit = std::move(quit); }
  void show(std::shared_ptr<Shell>) override { recorder_.add("shown"); }
  void post(std::function<void()> call) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(call));
    }
    changed_.notify_all();
  }
  void runEventLoop() override {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return loopEnded_ || !posted_.empty(); });
      if (loopEnded_) return;
      auto call = std::move(posted_.front());
      posted_.erase(posted_.begin());
      lock.unlock();
      call();
      lock.lock();
    }
  }
  void endEventLoop() override {
    {
      std::lock_guard lock(mutex_);
      if (loopEnded_) return;
      loopEnded_ = true;
    }
    recorder_.add("event loop ended");
    changed_.notify_all();
  }
  void hideWindows() override { recorder_.add("windows hidden"); }

  std::function<void()> toolkitQuit;  // Qt's own quit, as a session manager's Die sends it

 private:
  Recorder& recorder_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::function<void()>> posted_;
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

enum class Road {
  menu,
  signal,
  toolkit,
  displayLoss,
  secondSignal,
  watchdog,
  loopEnds,
  buildFails
};

struct Row {
  const char* name;
  Road road;
  bool duringStartUp;  // the build waits for good meanwhile
  Steps expected;
  int signal = SIGTERM;
  int ignored = 0;  // found ignored at start, and sent first when it is not `signal`
};

// The quit in order, named by its log line.
Steps inOrder(const std::string& line) {
  return {"shown",          line,          "first half", "event loop ended",
          "windows hidden", "second half", "clean-up",   "outputs off",
          "end 0"};
}
Steps duringStartUp(const std::string& road) {
  return {"Quitting during start-up: " + road, "clean-up", "outputs off", "end 0"};
}

TEST(App, EveryRoadIntoTheQuitKeepsItsOrder) {
  const Row rows[] = {
      {"the menu or Ctrl+Q", Road::menu, false, inOrder("Quitting: menu")},
      {"the toolkit's own quit", Road::toolkit, false, inOrder("Quitting: logout")},
      {"the X server's loss",
       Road::displayLoss,
       false,
       {"shown", "Quitting: display lost", "clean-up", "end 3"}},
      {"a second signal while the loop is stuck",
       Road::secondSignal,
       false,
       {"shown", "Quitting: signal 15", "first half", "Quitting: second signal 15", "clean-up",
        "outputs off", "end 0"}},
      {"the watchdog",
       Road::watchdog,
       false,
       {"shown", "Quitting: menu", "first half", "error: Quitting: watchdog (the quit overran)",
        "clean-up", "outputs off", "end 0"}},
      {"the event loop ended by a road of its own",
       Road::loopEnds,
       false,
       {"shown", "event loop ended", "Quitting: event loop ended", "first half", "windows hidden",
        "second half", "clean-up", "outputs off", "end 0"}},
      {"a signal during start-up", Road::signal, true, duringStartUp("signal 15")},
      {"a logout during start-up", Road::toolkit, true, duringStartUp("logout")},
      {"the X server's loss during start-up",
       Road::displayLoss,
       true,
       {"Quitting: display lost", "clean-up", "end 3"}},
      {"the event loop ended during start-up",
       Road::loopEnds,
       true,
       {"event loop ended", "Quitting during start-up: event loop ended", "clean-up", "outputs off",
        "end 0"}},
      {"a start-up that fails",
       Road::buildFails,
       false,
       {"error: Start-up failed: no model", "clean-up", "end 1"}},
  };
  std::vector<Row> table(std::begin(rows), std::end(rows));
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    const std::string line = "Quitting: signal " + std::to_string(number);
    table.push_back({"a signal", Road::signal, false, inOrder(line), number});
  }
  // nohup's SIGHUP and a background job's SIGINT stay ignored; SIGTERM quits all the same.
  for (int ignored : {SIGHUP, SIGINT, SIGTERM}) {
    const auto quit = inOrder("Quitting: signal 15");
    table.push_back({"a signal ignored at start", Road::signal, false, quit, SIGTERM, ignored});
  }
  for (const auto& row : table) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.ignored));
    for (int number : {SIGTERM, SIGINT, SIGHUP})
      ::signal(number, number == row.ignored ? SIG_IGN : SIG_DFL);
    App::catchQuitSignals();
    Recorder recorder;
    auto log = std::make_shared<RecordedLog>(recorder);
    runtime::Log::attach(log);
    runtime::MainLoop loop;
    runtime::LoopThread loopThread(loop);
    FakeToolkit toolkit(recorder);
    FakeEnding ending(recorder);
    const bool stuck = row.road == Road::secondSignal || row.road == Road::watchdog;
    // Only the watchdog's row may end by the watchdog.
    const auto limit = row.road == Road::watchdog ? runtime::Duration(1s) : runtime::Duration(30s);
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
      if (row.duringStartUp) co_await hang();
      if (row.road == Road::buildFails) throw std::runtime_error("no model");
      co_return Started{nullptr, std::make_shared<FakeSteps>(recorder, stuck)};
    };
    std::thread main([&] {
      app.start(build);
      app.run();
    });
    if (row.duringStartUp) {
      std::unique_lock lock(buildMutex);
      ASSERT_TRUE(buildBegun.wait_for(lock, 5s, [&] { return building; }));
    } else if (row.road != Road::buildFails) {
      ASSERT_TRUE(recorder.waitFor("shown"));
    }
    const auto asked = std::chrono::steady_clock::now();
    switch (row.road) {
      case Road::menu:
      case Road::watchdog:
        menuQuit();
        break;
      case Road::signal:
        if (row.ignored != 0 && row.ignored != row.signal) ::raise(row.ignored);
        ::raise(row.signal);
        break;
      case Road::toolkit:
        toolkit.toolkitQuit();
        break;
      case Road::displayLoss:
        app.displayLost();
        break;
      case Road::secondSignal:
        ::raise(SIGTERM);
        ASSERT_TRUE(recorder.waitFor("first half"));
        ::raise(SIGTERM);
        break;
      case Road::loopEnds:
        toolkit.endEventLoop();
        break;
      case Road::buildFails:
        break;
    }
    if (!recorder.waitForEnd()) {
      ADD_FAILURE() << "the process did not end";
      app.exitNow(App::quitStatus);  // lets the row's threads go
    }
    // The watchdog leaves the exit that cannot wait its time within the quit's limit.
    if (row.road == Road::watchdog) {
      EXPECT_LE(std::chrono::steady_clock::now() - asked, limit - 50ms - App::cleanUpLimit);
    }
    main.join();
    runtime::Log::detach(log);
    EXPECT_EQ(recorder.steps(), row.expected);
  }
  for (int number : {SIGTERM, SIGINT, SIGHUP}) ::signal(number, SIG_DFL);
}
}  // namespace
}  // namespace brindlet::app
