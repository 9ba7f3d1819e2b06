#include "app/core/App.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include <boost/asio/post.hpp>

#include "runtime/ExitCleanup.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "runtime/Thread.h"

namespace brindlet::app {

namespace asio = boost::asio;

namespace {

const runtime::Logger& appLog() {
  return runtime::Logger::of("app");
}

// The quit signals' way to the App: the handler writes the signal's number into a pipe, which a
// thread of its own reads, so that a quit is taken however busy (or stuck) the main loop is. One
// that comes before there is an App (the toolkit's start can wait on a silent bus) ends the
// process at once, with the exit clean-up's registry.
constinit std::atomic<int> signalsIn{-1};
constinit std::atomic<int> signalsOut{-1};
App* theApp = nullptr;
std::mutex& theAppMutex() {
  static auto* mutex = new std::mutex;  // never destroyed: the watcher may outlive statics
  return *mutex;
}

void onQuitSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const auto written = ::write(signalsIn.load(), &byte, 1);
  errno = saved;
}

void watchQuitSignals() {
  for (;;) {
    char number = 0;
    const auto n = ::read(signalsOut.load(), &number, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::lock_guard lock(theAppMutex());
    if (!theApp) {
      runtime::cleanUpForExit();
      std::fflush(nullptr);
      ::_exit(App::quitStatus);
    }
    theApp->quitSignal(number);
  }
}

// Whether whoever started us ignores `number`: nohup ignores SIGHUP so that the program outlives
// its terminal, and a shell ignores SIGINT in a job it starts in the background. Both stay
// ignored. SIGTERM, which service and session managers send, is a quit whatever was found.
bool foundIgnored(int number) {
  struct sigaction found {};
  return ::sigaction(number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN;
}

}  // namespace

void App::catchQuitSignals() {
  const bool first = signalsIn.load() < 0;
  if (first) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    // The handler never waits on a full pipe; the reader waits for a byte.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    signalsOut = ends[0];
    signalsIn = ends[1];
  }
  // The handlers before their reader: a signal meanwhile waits in the pipe rather than ending the
  // process by its default.
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    if (number != SIGTERM && foundIgnored(number)) continue;
    ::sigaction(number, &action, nullptr);
  }
  if (first) runtime::startThread("brindlet-signal", watchQuitSignals).detach();
}

App::App(Parts parts) : parts_(parts) {
  std::lock_guard lock(theAppMutex());
  theApp = this;
}

App::~App() {
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::ended;
  }
  changed_.notify_all();
  {
    // A signal's call into this App finishes first.
    std::lock_guard lock(theAppMutex());
    if (theApp == this) theApp = nullptr;
  }
  if (watchdog_.joinable()) watchdog_.join();
}

App* App::current() {
  std::lock_guard lock(theAppMutex());
  return theApp;
}

runtime::Duration App::stepsLimit() const {
  return parts_.limit - parts_.outputsLimit - cleanUpLimit - hopsMargin;
}

void App::start(Build build) {
  // From the start: a session manager's Die while the build waits (a keyring prompt) is a quit.
  parts_.toolkit.takeQuit([this] { quit("logout"); });
  runtime::spawn(parts_.loop.context().get_executor(), building(*this, std::move(build)));
}

asio::awaitable<void> App::building(App& app, Build build) {
  try {
    auto menu = [&app] { app.quit("menu"); };
    auto built = build(std::move(menu));
    auto started = co_await std::move(built);
    {
      std::lock_guard lock(app.mutex_);
      app.steps_ = std::move(started.steps);
    }
    auto shell = std::move(started.shell);
    app.parts_.toolkit.post([&app, shell] { app.show(shell); });
  } catch (const std::exception& error) {
    appLog().error("Start-up failed: %s", error.what());
    app.exitNow(startFailedStatus);
  }
}

void App::show(std::shared_ptr<Shell> shell) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::starting) return;
    phase_ = Phase::running;
  }
  // Only now the tray icon: the menu never shows half a model.
  parts_.toolkit.show(std::move(shell));
}

void App::run() {
  parts_.toolkit.runEventLoop();
  finish();
}

void App::quit(std::string_view road) {
  {
    std::unique_lock lock(mutex_);
    if (phase_ == Phase::starting) {
      lock.unlock();
      // Nothing is built to stop in order; what was published goes with the exit's clean-up.
      appLog().info("Quitting during start-up: %.*s", static_cast<int>(road.size()), road.data());
      exitNow(quitStatus);
      return;
    }
    if (phase_ != Phase::running) return;
    phase_ = Phase::quitting;
  }
  appLog().info("Quitting: %.*s", static_cast<int>(road.size()), road.data());
  beginQuit();
}

void App::quitSignal(int number) {
  if (quitSignals_.fetch_add(1) > 0) {
    // The one graceful chance is spent: whatever holds the quit up, the process ends now.
    appLog().info("Quitting: second signal %d", number);
    exitNow(quitStatus);
    return;
  }
  const std::string road = "signal " + std::to_string(number);
  quit(road);
}

void App::displayLost() {
  appLog().info("Quitting: display lost");
  exitNow(lostDisplayStatus);
}

void App::exitNow(int status) {
  if (exiting_.exchange(true)) {
    // The first caller ends the process.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return phase_ == Phase::ended; });
    return;
  }
  parts_.ending.cleanUp();
  // Where X is still there a lit output of ours would be an area no one sees.
  if (status == quitStatus) parts_.ending.switchOffOutputs(parts_.outputsLimit);
  parts_.ending.end(status);
  // Only in tests does the process go on: what waits for its end is let go (in the app nothing
  // returns from here, so no thread goes on meanwhile to destroy what the exit uses), and the
  // toolkit's loop ends as the process would.
  {
    std::lock_guard lock(mutex_);
    phase_ = Phase::ended;
  }
  changed_.notify_all();
  parts_.toolkit.endEventLoop();
}

void App::beginQuit() {
  startWatchdog();
  runtime::spawn(parts_.loop.context().get_executor(), firstHalf(*this, steps_));
}

void App::startWatchdog() {
  watchdog_ = runtime::startThread("brindlet-watch", [this] {
    std::unique_lock lock(mutex_);
    // The exit that cannot wait still fits in the quit's limit after it.
    const auto deadline = std::chrono::steady_clock::now() + stepsLimit();
    if (changed_.wait_until(lock, deadline, [&] { return phase_ == Phase::ended; })) return;
    lock.unlock();
    // Something held the quit up past its limit: worth the log's most severe level.
    appLog().error("Quitting: watchdog (the quit overran)");
    exitNow(quitStatus);
  });
}

asio::awaitable<void> App::firstHalf(App& app, std::shared_ptr<QuitSteps> steps) {
  try {
    if (steps) co_await steps->stopWhatOutlivesTheApp();
  } catch (const std::exception& error) {
    appLog().error("Quitting: %s", error.what());
  }
  {
    std::lock_guard lock(app.mutex_);
    app.firstHalfDone_ = true;
  }
  app.changed_.notify_all();
  app.parts_.toolkit.endEventLoop();
}

asio::awaitable<void> App::secondHalf(std::shared_ptr<QuitSteps> steps,
                                      std::function<void()> done) {
  try {
    if (steps) co_await steps->stopStreamDisplayAndLinks();
  } catch (const std::exception& error) {
    appLog().error("Quitting: %s", error.what());
  }
  done();
}

bool App::ended() const {
  return phase_ == Phase::ended;
}

void App::finish() {
  std::unique_lock lock(mutex_);
  if (ended()) return;
  if (phase_ != Phase::quitting) {
    // The event loop ended by a road that did not come here first: the quit runs all the same,
    // in full once there is a model, its first half now.
    lock.unlock();
    quit("event loop ended");
    lock.lock();
  }
  changed_.wait(lock, [&] { return firstHalfDone_ || ended(); });
  if (ended()) return;
  lock.unlock();
  // The windows go, and the rest runs while nothing handles the toolkit's events any more: the
  // display's removal, seen by an X server that is going away too, never reaches its screens.
  parts_.toolkit.hideWindows();
  auto done = [this] {
    {
      std::lock_guard lock(mutex_);
      secondHalfDone_ = true;
    }
    changed_.notify_all();
  };
  runtime::spawn(parts_.loop.context().get_executor(), secondHalf(steps_, done));
  lock.lock();
  changed_.wait(lock, [&] { return secondHalfDone_ || ended(); });
  if (ended()) return;
  lock.unlock();
  exitNow(quitStatus);
}

}  // namespace brindlet::app
