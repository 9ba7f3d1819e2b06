// The app: the tray icon and its windows on Qt's thread, the models on the main loop beside it,
// the phone links on a loop of their own. Its life from start to exit is the App's; this file
// only puts the pieces together.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/signal_set.hpp>

#include "app/core/App.h"
#include "app/core/HostModel.h"
#include "app/core/Lifetime.h"
#include "app/core/Shell.h"
#include "app/linux/LinuxPlatform.h"
#include "app/linux/LinuxProcessEnding.h"
#include "app/linux/LogSinks.h"
#include "app/qt/QtToolkit.h"
#include "platform/linux/x11/X11Connection.h"
#include "runtime/DescriptorLimit.h"
#include "runtime/ExitCleanup.h"
#include "runtime/Log.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"

namespace {

using namespace brindlet;
namespace asio = boost::asio;

// The whole quit, the exit included: a service manager's stop timeout may be as short.
constexpr runtime::Duration quitLimit = std::chrono::seconds(2);

const runtime::Logger& appLog() {
  return runtime::Logger::of("app");
}

// The test hooks, with BRINDLET_TEST_HOOKS set: SIGUSR1 holds the main loop busy for 200 ms, as a
// slow deck tick or keyring prompt would ("stuck": for good, as a hang would); SIGUSR2 crashes
// the main loop, as a fault in a library would; "crash-on-display-loss" crashes our own code
// when the X connection breaks, before the display's loss is handled.
struct TestHooks {
  bool stuck = false;
  bool crashOnDisplayLoss = false;
  std::unique_ptr<asio::signal_set> busy, crash;
};
TestHooks testHooks;

[[gnu::noinline]] void crashInOurCode() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

void holdLoopOnSignal(asio::signal_set& hook) {
  hook.async_wait([&hook](const boost::system::error_code& error, int) {
    if (error) return;
    if (testHooks.stuck) {
      appLog().info("Test hook: the main loop is held for good");
      std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    appLog().info("Test hook: the main loop was held for 200 ms");
    holdLoopOnSignal(hook);
  });
}

void installTestHooks(runtime::MainLoop& loop) {
  const char* asked = std::getenv("BRINDLET_TEST_HOOKS");
  if (!asked) return;
  const std::string mode(asked);
  testHooks.stuck = mode == "stuck";
  testHooks.crashOnDisplayLoss = mode == "crash-on-display-loss";
  asio::post(loop.context(), [&loop] {
    testHooks.busy = std::make_unique<asio::signal_set>(loop.context(), SIGUSR1);
    holdLoopOnSignal(*testHooks.busy);
    testHooks.crash = std::make_unique<asio::signal_set>(loop.context(), SIGUSR2);
    testHooks.crash->async_wait([](const boost::system::error_code& error, int) {
      if (!error) raise(SIGSEGV);
    });
  });
}

// The X server's loss, however it is found: the App's road, or before there is one, the
// registry's clean-up alone.
void onDisplayLost() {
  if (testHooks.crashOnDisplayLoss) crashInOurCode();
  if (app::App* app = app::App::current()) app->displayLost();
  runtime::cleanUpForExit();
  std::fflush(nullptr);
  ::_exit(app::App::lostDisplayStatus);
}

// Whatever else calls exit() meets the App's exit before any static is destroyed under a thread.
void onLibraryExit() {
  if (app::App* app = app::App::current()) app->exitNow(app::App::startFailedStatus);
}

// Qt's own message output, which ours passes everything on to.
QtMessageHandler qtOutput = nullptr;

// Qt's xcb plugin ends the process with exit() on a broken connection, and with abort() when its
// display is gone before its windows are made: either way under our running threads. The app ends
// through its own road instead.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  qtOutput(type, context, text);
  if (text.startsWith(QLatin1String("The X11 connection broke"))) onDisplayLost();
  if (type == QtFatalMsg && platform::X11Connection::probe("", app::displayAnswerLimit) !=
                                platform::X11Connection::Answer::opens) {
    onDisplayLost();
  }
}

// Until Qt's connection can be asked, a crash (Qt's screen handling, while its connection is
// made, stumbles on a server that went meanwhile) asks the display's socket instead: a server
// that no longer takes a connection is the display's loss. System calls only.
char displaySocket[sizeof(sockaddr_un::sun_path)] = {};

void prepareDisplaySocket(const std::string& display) {
  if (display.empty() || display[0] != ':') return;  // a display over TCP is not asked
  const std::string number = display.substr(1, display.find('.') - 1);
  const std::string path = "/tmp/.X11-unix/X" + number;
  if (path.size() < sizeof displaySocket) std::memcpy(displaySocket, path.c_str(), path.size() + 1);
}

int crashEndingBeforeQt() noexcept {
  if (!displaySocket[0]) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, displaySocket, sizeof displaySocket);
  const bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answers ? -1 : app::App::lostDisplayStatus;
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

// The start-up on the main loop: the model, then the shell over it with the App's quit.
app::App::Build buildWith(app::Platform& platform, runtime::MainLoop& loop,
                          runtime::Duration stepsLimit) {
  return
      [&platform, &loop, stepsLimit](std::function<void()> quit) -> asio::awaitable<app::Started> {
        auto model = co_await app::HostModel::build(platform);
        app::Started started;
        started.shell = std::make_shared<app::Shell>(loop.context().get_executor(), model, quit);
        started.steps = std::make_shared<app::ModelQuit>(model, stepsLimit);
        co_return started;
      };
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else, and before any thread: threads start with these handlers in place.
  runtime::coverFatalSignals();
  app::App::catchQuitSignals();
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
  // From the first X connection on, Xlib's exit() on a lost server ends through our road.
  platform::X11Connection::setExitForOtherDisplays(onDisplayLost);
  if (auto refused = refusal()) {
    // The user reads the sentence alone where the log would prefix it; a journal gets the entry.
    runtime::Log::detachStandardError();
    appLog().error("%s", refused->c_str());
    std::fprintf(stderr, "%s\n", refused->c_str());
    // A probe may still wait on a display that never answered: no static may go away under it.
    std::fflush(nullptr);
    ::_exit(app::App::startFailedStatus);
  }
  prepareDisplaySocket(environment("DISPLAY").value_or(""));
  runtime::setCrashEnding(&crashEndingBeforeQt);
  std::optional<app::InstanceLock> lock;
  try {
    if (auto acquired = app::InstanceLock::acquire(app::InstanceLock::defaultPath())) {
      lock.emplace(std::move(*acquired));
    }
  } catch (const std::exception& error) {
    appLog().error("Instance lock: %s", error.what());
    return app::App::startFailedStatus;
  }
  if (!lock) {
    appLog().error("%s", std::string(app::alreadyRunningText).c_str());
    return app::App::startFailedStatus;
  }

  // The windows must be X windows on the server the X11 roles use.
  qputenv("QT_QPA_PLATFORM", "xcb");
  qtOutput = qInstallMessageHandler(onQtMessage);
  QApplication application(argc, argv);
  // Qt's xcb plugin puts its own Xlib handlers in place.
  platform::X11Connection::installHandlers();
  // Our windows' WM_CLASS class, which is the deck engine's own id.
  QApplication::setApplicationName(
      QString::fromUtf8(app::ownAppID.data(), static_cast<int>(app::ownAppID.size())));
  QApplication::setQuitOnLastWindowClosed(false);
  std::setlocale(LC_NUMERIC, "C");
  std::atexit(onLibraryExit);

  runtime::MainLoop loop;
  runtime::MainLoop links;
  runtime::LoopThread loopThread(loop);
  runtime::LoopThread linkThread(links, "brindlet-link");

  app::QtToolkit toolkit(loop);
  // Qt's screen handling crashes on replies that its broken connection will never give (a RandR
  // change read just before the X server went): that crash is the display's loss.
  runtime::setCrashEnding(&app::QtToolkit::crashEnding);
  app::LinuxProcessEnding ending;
  app::App life({loop, toolkit, ending, quitLimit});
  app::LinuxPlatform platform(loop, links.context().get_executor(), "",
                              std::filesystem::read_symlink("/proc/self/exe"),
                              toolkit.presenters());
  // The user defaults are read, and their folder made, here rather than on the loop, which the
  // model's build runs on.
  platform.defaults();
  installTestHooks(loop);

  // Qt's event loop runs while the model is built: a session manager or the X server's loss is
  // heard however long the build waits (a keyring's prompt).
  life.start(buildWith(platform, loop, life.stepsLimit()));
  life.run();
  // The App has ended the process by now; this is never reached.
  return app::App::startFailedStatus;
}
