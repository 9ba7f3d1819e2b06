#pragma once

// The app's life, from its start to its exit, in one object: the start sequence, both halves of
// the quit, the watchdog, the quit signals and the exit that cannot wait. Every road into the quit
// comes here: the menu and its shortcut, SIGTERM, SIGINT and SIGHUP, the toolkit's own quit (a
// session manager's Die), the X server's loss, a second quit signal, a signal during start-up and
// the watchdog. Each road names itself in the log, in one line ("Quitting: menu").
//
// The order of a quit: first what would outlive the app (the hook server and its discovery files,
// the deck and its keys' programs, with their grace), which talks to no X server; then the
// toolkit's event loop ends and its windows go; then the stream, the extra display and the links;
// then the process ends. A road that cannot take that way (the display gone, a quit during
// start-up, a second signal, a quit that overran) takes the exit that cannot wait: the exit
// clean-up's registry (runtime/ExitCleanup.h), our extra displays' outputs switched off where X
// is still there, and the end.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app {

class Shell;

// The toolkit, behind what the app's life needs of it.
class Toolkit {
 public:
  virtual ~Toolkit() = default;
  // On the toolkit's thread, before its event loop: the toolkit's own quit (a session manager's
  // Die) calls `quit` instead of ending its event loop, from now on.
  virtual void takeQuit(std::function<void()> quit) = 0;
  // On the toolkit's thread: the tray icon and windows over `shell`, from now on.
  virtual void show(std::shared_ptr<Shell> shell) = 0;
  // From any thread: `call` on the toolkit's thread, from its event loop.
  virtual void post(std::function<void()> call) = 0;
  // On the toolkit's thread: its event loop, until endEventLoop.
  virtual void runEventLoop() = 0;
  // From any thread.
  virtual void endEventLoop() = 0;
  // On the toolkit's thread, once its event loop has returned.
  virtual void hideWindows() = 0;
};

// The two halves of a quit, over the model once it is built.
class QuitSteps {
 public:
  virtual ~QuitSteps() = default;
  // On the main loop; each keeps to its share of the quit's limit.
  virtual boost::asio::awaitable<void> stopWhatOutlivesTheApp() = 0;
  virtual boost::asio::awaitable<void> stopStreamDisplayAndLinks() = 0;
};

// How the process ends when it cannot wait.
class ProcessEnding {
 public:
  virtual ~ProcessEnding() = default;
  // The exit clean-up's registry, and what the blocking worker was about to write for it.
  virtual void cleanUp() = 0;
  // Our extra displays' outputs off, through a connection of its own, given up after `limit`.
  virtual void switchOffOutputs(runtime::Duration limit) = 0;
  // Ends the process with `status`; returns only in tests.
  virtual void end(int status) = 0;
};

// What start-up makes on the main loop: the shell the interface shows, and the quit's halves.
struct Started {
  std::shared_ptr<Shell> shell;
  std::shared_ptr<QuitSteps> steps;
};

class App {
 public:
  // How the process ends: 0 after a quit, 1 when it cannot start, 3 when the X display went away.
  static constexpr int quitStatus = 0;
  static constexpr int startFailedStatus = 1;
  static constexpr int lostDisplayStatus = 3;

  struct Parts {
    runtime::MainLoop& loop;
    Toolkit& toolkit;
    ProcessEnding& ending;
    // The quit as a whole, the exit that cannot wait included: its steps get what the exit
    // leaves of it (stepsLimit), and the watchdog ends the process when they overrun.
    runtime::Duration limit = std::chrono::seconds(2);
    // What the exit that cannot wait gives switching the outputs off.
    runtime::Duration outputsLimit = std::chrono::milliseconds(500);
  };
  // What the exit's clean-up may take (it lets a file's write in flight finish), and a margin for
  // the hops between the steps.
  static constexpr runtime::Duration cleanUpLimit = std::chrono::milliseconds(300);
  static constexpr runtime::Duration hopsMargin = std::chrono::milliseconds(200);
  using Build = std::function<boost::asio::awaitable<Started>(std::function<void()> quit)>;

  // Catches SIGTERM, SIGINT and SIGHUP for the process's life, on a thread of its own that hands
  // them to the App; one that comes before there is an App ends the process at once after the
  // exit clean-up. A SIGINT or SIGHUP found ignored (a background job's, nohup's) stays ignored.
  // Called at the top of main, before any other thread.
  static void catchQuitSignals();

  // The one App of the process, which the quit signals and the exit handlers of libraries reach.
  explicit App(Parts parts);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  static App* current();

  // The quit's steps' limit, and the watchdog's: the quit's, less the exit that cannot wait.
  runtime::Duration stepsLimit() const;

  // On the toolkit's thread, before run: the toolkit's quit from now on, and the build on the
  // main loop; once it is done, the interface is shown from the toolkit's event loop. A build
  // that fails ends the process (status 1).
  void start(Build build);
  // On the toolkit's thread: the toolkit's event loop, from the start on, then the rest of the
  // quit; the process ends with the quit's status.
  void run();

  // The roads in, from any thread; `road` names it in the log ("menu", "logout").
  void quit(std::string_view road);
  void quitSignal(int number);
  void displayLost();
  // The exit that cannot wait, from any thread; the first call ends the process, a later one
  // waits for that.
  void exitNow(int status);

 private:
  enum class Phase { starting, running, quitting, ended };

  static boost::asio::awaitable<void> building(App& app, Build build);
  void show(std::shared_ptr<Shell> shell);
  void beginQuit();
  void startWatchdog();
  void finish();
  bool ended() const;
  static boost::asio::awaitable<void> firstHalf(App& app, std::shared_ptr<QuitSteps> steps);
  static boost::asio::awaitable<void> secondHalf(std::shared_ptr<QuitSteps> steps,
                                                 std::function<void()> done);

  Parts parts_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::starting;
  bool firstHalfDone_ = false;
  bool secondHalfDone_ = false;
  std::shared_ptr<QuitSteps> steps_;
  std::atomic<bool> exiting_{false};
  std::atomic<int> quitSignals_{0};
  std::thread watchdog_;
};

}  // namespace brindlet::app
