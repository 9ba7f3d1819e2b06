// The app: the tray icon and its windows on Qt's thread, the models on the main loop beside it,
// the phone links on a loop of their own.

#include <signal.h>
#include <unistd.h>

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "app/core/HostModel.h"
#include "app/core/Lifetime.h"
#include "app/core/Shell.h"
#include "app/linux/LinuxPlatform.h"
#include "app/linux/LogSinks.h"
#include "app/qt/AppInterface.h"
#include "platform/linux/x11/X11Connection.h"
#include "runtime/Blocking.h"
#include "runtime/DescriptorLimit.h"
#include "runtime/Log.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"

namespace {

using namespace brindlet;
namespace asio = boost::asio;

constexpr runtime::Duration quitLimit = std::chrono::seconds(2);

const runtime::Logger& appLog() {
  return runtime::Logger::of("app");
}

// Qt's own message output, which ours passes everything on to.
QtMessageHandler qtOutput = nullptr;

// Qt's xcb plugin ends the process with exit() on a broken connection, and with abort() when its
// display is gone before its windows are made: either way under our running threads. The app ends
// through its own clean-up instead.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  qtOutput(type, context, text);
  if (text.startsWith(QLatin1String("The X11 connection broke"))) {
    app::exitNow(app::lostDisplayStatus);
  }
  if (type == QtFatalMsg && platform::X11Connection::probe("", app::displayAnswerLimit) !=
                                platform::X11Connection::Answer::opens) {
    app::exitNow(app::lostDisplayStatus);
  }
}

// Qt's own X connection, for a crash's handler: xcb marks it broken once a request's reply can
// never come, and reading that mark is a plain load.
std::atomic<xcb_connection_t*> qtConnection{nullptr};

bool qtConnectionBroken() noexcept {
  xcb_connection_t* connection = qtConnection.load();
  return connection && xcb_connection_has_error(connection) != 0;
}

void exitOnLostDisplay() {
  app::exitNow(app::lostDisplayStatus);
}

// Whatever else calls exit() meets the same exit before any static is destroyed under a thread.
void exitFromLibrary() {
  app::exitNow(app::startFailedStatus);
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// Why the app cannot run here: a Wayland session, or no X display that answers. Checked before
// anything is made.
std::optional<std::string> refusal() {
  if (auto wayland =
          app::sessionRefusal(environment("XDG_SESSION_TYPE"), environment("WAYLAND_DISPLAY"))) {
    return wayland;
  }
  const auto display = environment("DISPLAY");
  if (!display || display->empty()) return app::displayRefusal(display);
  using Answer = platform::X11Connection::Answer;
  const auto answer = platform::X11Connection::probe(*display, app::displayAnswerLimit);
  if (answer == Answer::opens) return std::nullopt;
  return app::displayRefusal(display, answer == Answer::silent);
}

// Runs on the main loop until it returns.
template <class F>
auto onLoop(runtime::MainLoop& loop, F work) {
  std::packaged_task<decltype(work())()> task(std::move(work));
  auto result = task.get_future();
  asio::post(loop.context(), [&task] { task(); });
  return result.get();
}

// Quitting, once: what would outlive the process (the discovery files, the keys' programs) is
// stopped on the loop first, then Qt's event handling ends and its windows go, and only then the
// stream, the extra display and the links: the display's removal, seen by an X server that is
// going away too (a logout), never reaches Qt's screen handling. A watchdog ends the process if
// that takes longer than it may.
class Quitter {
 public:
  explicit Quitter(runtime::MainLoop& loop) : loop_(loop) {}

  void operator()() {
    if (quitting_.exchange(true)) return;
    std::thread([] {
      std::this_thread::sleep_for(quitLimit + std::chrono::milliseconds(500));
      appLog().error("Quitting took too long");
      // Whatever else is left running, no discovery file may lead a later holder of the port to
      // the hooks' token and prompts, nor may the deck's commands outlive the app.
      app::exitNow(0);
    }).detach();
    runtime::spawn(loop_.context().get_executor(), run(model_));
  }

  void setModel(std::shared_ptr<app::HostModel> model) { model_ = std::move(model); }

  // On the Qt thread once its event loop has returned: the windows go, and the rest of the quit
  // runs on the loop while nothing handles Qt's events any more.
  void finish() {
    for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
    if (!model_) return;
    std::promise<void> done;
    runtime::spawn(loop_.context().get_executor(), stopTheRest(*model_, done));
    done.get_future().wait();
  }

 private:
  static asio::awaitable<void> run(std::shared_ptr<app::HostModel> model) {
    if (model) co_await app::stopWhatOutlivesTheApp(*model, quitLimit);
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  }

  static asio::awaitable<void> stopTheRest(app::HostModel& model, std::promise<void>& done) {
    co_await app::stopStreamDisplayAndLinks(model, quitLimit);
    done.set_value();
  }

  runtime::MainLoop& loop_;
  std::shared_ptr<app::HostModel> model_;
  std::atomic<bool> quitting_{false};
};

// A test hook (BRINDLET_TEST_HOOKS set): each SIGUSR1 holds the main loop busy for 200 ms, as a
// slow deck tick or keyring prompt would, to show that the phone's picture does not wait for it.
void holdLoopOnSignal(asio::signal_set& hook) {
  hook.async_wait([&hook](const boost::system::error_code& error, int) {
    if (error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    appLog().info("Test hook: the main loop was held for 200 ms");
    holdLoopOnSignal(hook);
  });
}

// A test hook (BRINDLET_TEST_HOOKS set): SIGUSR2 makes the main loop crash, as a fault in a
// library would.
void crashOnSignal(asio::signal_set& hook) {
  hook.async_wait([](const boost::system::error_code& error, int) {
    if (!error) raise(SIGSEGV);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else, and before any thread: threads start with these handlers in place.
  app::coverFatalSignals();
  app::catchEarlyQuitSignals();
  switch (app::invocationOf(argc, argv)) {
    case app::Invocation::help:
      std::fputs(app::usageText.data(), stdout);
      return 0;
    case app::Invocation::mistaken:
      std::fputs(app::usageText.data(), stderr);
      return app::usageStatus;
    case app::Invocation::run:
      break;
  }
  app::attachLogSinks(argc, argv);
  runtime::raiseDescriptorLimit();
  // From the first X connection on, Xlib's exit() on a lost server ends through our clean-up.
  platform::X11Connection::setExitForOtherDisplays(exitOnLostDisplay);
  if (auto refused = refusal()) {
    // The user reads the sentence alone where the log would prefix it; a journal gets the entry.
    runtime::Log::detachStandardError();
    appLog().error("%s", refused->c_str());
    std::fprintf(stderr, "%s\n", refused->c_str());
    // A probe may still wait on a display that never answered: no static may go away under it.
    app::exitNow(app::startFailedStatus);
  }
  std::optional<app::InstanceLock> lock;
  try {
    if (auto acquired = app::InstanceLock::acquire(app::InstanceLock::defaultPath())) {
      lock.emplace(std::move(*acquired));
    }
  } catch (const std::exception& error) {
    appLog().error("Instance lock: %s", error.what());
    return app::startFailedStatus;
  }
  if (!lock) {
    appLog().error("%s", std::string(app::alreadyRunningText).c_str());
    return app::startFailedStatus;
  }

  // The windows must be X windows on the server the X11 roles use.
  qputenv("QT_QPA_PLATFORM", "xcb");
  qtOutput = qInstallMessageHandler(onQtMessage);
  QApplication application(argc, argv);
  // Qt's xcb plugin puts its own Xlib handlers in place.
  platform::X11Connection::installHandlers();
  // Qt's screen handling crashes on replies that its broken connection will never give (a RandR
  // change read just before the X server went): that crash is the display's loss.
  if (auto* x11 = application.nativeInterface<QNativeInterface::QX11Application>()) {
    qtConnection = x11->connection();
    app::crashesAfterDisplayLoss(qtConnectionBroken);
  }
  // Our windows' WM_CLASS class, which is the deck engine's own id.
  QApplication::setApplicationName(
      QString::fromUtf8(app::ownAppID.data(), static_cast<int>(app::ownAppID.size())));
  QApplication::setQuitOnLastWindowClosed(false);
  std::setlocale(LC_NUMERIC, "C");
  std::atexit(exitFromLibrary);

  runtime::MainLoop loop;
  runtime::MainLoop links;
  runtime::LoopThread loopThread(loop);
  runtime::LoopThread linkThread(links, "brindlet-link");

  app::AppInterface interface(loop, "");
  app::LinuxPlatform platform(loop, links.context().get_executor(), "",
                              std::filesystem::read_symlink("/proc/self/exe"),
                              interface.presenters());
  // The user defaults are read, and their folder made, here rather than on the loop, which the
  // model's build runs on.
  platform.defaults();
  Quitter quit(loop);

  std::shared_ptr<app::Shell> shell;
  std::unique_ptr<asio::signal_set> quitSignals;
  std::unique_ptr<asio::signal_set> busySignal;
  std::unique_ptr<asio::signal_set> crashSignal;
  try {
    std::promise<std::shared_ptr<app::HostModel>> built;
    auto model = built.get_future();
    runtime::spawn(
        loop.context().get_executor(),
        [](app::Platform& platform,
           std::promise<std::shared_ptr<app::HostModel>>& built) -> asio::awaitable<void> {
          try {
            built.set_value(co_await app::HostModel::build(platform));
          } catch (...) {
            built.set_exception(std::current_exception());
          }
        }(platform, built));
    auto running = model.get();
    quit.setModel(running);
    shell = onLoop(loop, [&] {
      auto made =
          std::make_shared<app::Shell>(loop.context().get_executor(), running, [&quit] { quit(); });
      quitSignals = std::make_unique<asio::signal_set>(loop.context(), SIGTERM, SIGINT, SIGHUP);
      quitSignals->async_wait([&quit](const boost::system::error_code& error, int) {
        if (!error) quit();
      });
      // One that came while the app started is acted on now.
      if (app::quitSignalCame()) quit();
      if (std::getenv("BRINDLET_TEST_HOOKS")) {
        busySignal = std::make_unique<asio::signal_set>(loop.context(), SIGUSR1);
        holdLoopOnSignal(*busySignal);
        crashSignal = std::make_unique<asio::signal_set>(loop.context(), SIGUSR2);
        crashOnSignal(*crashSignal);
      }
      return made;
    });
  } catch (const std::exception& error) {
    appLog().error("Start-up failed: %s", error.what());
    app::exitNow(app::startFailedStatus);
  }

  // Only now the tray icon: the menu never shows half a model.
  interface.attach(shell);
  const int status = QApplication::exec();
  quit.finish();
  // Work quitting handed to the blocking worker (the discovery files' removal) gets its moment.
  for (int i = 0; i < 100 && runtime::blockingCallsInFlight() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  app::exitNow(status);
}
