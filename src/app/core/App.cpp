#include "app/core/App.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include <boost/asio/post.hpp>

#include "runtime/ExitCleanup.h"
#include "runtime/Log.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"

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
  runtime::detail::nameThisThread("brindlet-signal");
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
    appLog().info("Quit signal %d", static_cast<int>(number));
    theApp->quitSignal();
  }
}

}  // namespace

void App::catchQuitSignals() {
  if (signalsIn.load() < 0) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    // The handler never waits on a full pipe; the reader waits for a byte.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    signalsOut = ends[0];
    signalsIn = ends[1];
    std::thread(watchQuitSignals).detach();
  }
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
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

bool App::start(Build build) {
  // What the build hands over; shared with it, as a start-up that ended meanwhile returns first.
  struct Built {
    std::shared_ptr<Shell> shell;
    bool done = false;
  };
  auto built = std::make_shared<Built>();
  auto building = [](App& app, Build build, std::shared_ptr<Built> built) -> asio::awaitable<void> {
    try {
      auto started = co_await build([&app] { app.quit(); });
      {
        std::lock_guard lock(app.mutex_);
        built->shell = std::move(started.shell);
        app.steps_ = std::move(started.steps);
        built->done = true;
      }
      app.changed_.notify_all();
    } catch (const std::exception& error) {
      appLog().error("Start-up failed: %s", error.what());
      app.exitNow(startFailedStatus);
    }
  };
  runtime::spawn(parts_.loop.context().get_executor(), building(*this, std::move(build), built));
  std::shared_ptr<Shell> shell;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return built->done || phase_ == Phase::ended; });
    if (phase_ == Phase::ended) return false;
    phase_ = Phase::running;
    shell = built->shell;
  }
  // Only now the tray icon: the menu never shows half a model.
  parts_.toolkit.show(std::move(shell), [this] { quit(); });
  return true;
}

void App::run() {
  parts_.toolkit.runEventLoop();
  finish();
}

void App::quit() {
  {
    std::unique_lock lock(mutex_);
    if (phase_ == Phase::starting) {
      lock.unlock();
      // Nothing is built to stop in order; what was published goes with the exit's clean-up.
      appLog().info("Quitting during start-up");
      exitNow(quitStatus);
      return;
    }
    if (phase_ != Phase::running) return;
    phase_ = Phase::quitting;
  }
  beginQuit();
}

void App::quitSignal() {
  if (quitSignals_.fetch_add(1) > 0) {
    // The one graceful chance is spent: whatever holds the quit up, the process ends now.
    appLog().error("A second quit signal: ending now");
    exitNow(quitStatus);
    return;
  }
  quit();
}

void App::displayLost() {
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
  watchdog_ = std::thread([this] {
    runtime::detail::nameThisThread("brindlet-watch");
    std::unique_lock lock(mutex_);
    const auto deadline =
        std::chrono::steady_clock::now() + parts_.limit + std::chrono::milliseconds(500);
    if (changed_.wait_until(lock, deadline, [&] { return phase_ == Phase::ended; })) return;
    lock.unlock();
    appLog().error("Quitting took too long");
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
    // The event loop ended by a road that did not come here first: the quit runs in full all
    // the same, its first half now.
    phase_ = Phase::quitting;
    lock.unlock();
    beginQuit();
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
