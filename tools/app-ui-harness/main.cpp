// Runs the app's user interface on the display of $DISPLAY for the tests that drive it from
// outside, over a scripted stand-in of the shell's state whose actions are recorded. Each call
// of an action is said on standard output, one line each ("chose quit", "refresh hooks",
// "poll on", "submit 123456", "cancel pairing"; see ScriptedShell.h), as are "icon <n>" for each
// tray icon made and "ready" once the mode is set up:
//   app-ui-harness [tray] [--nearby N] [--hooks FILE]
//                            the tray icon over the desktop's real tray hosts, its menu with N
//                            nearby phones; the Agents submenu reads "connected" while FILE
//                            exists, again at each opening; "chose quit" ends it
//   app-ui-harness bare-tray   a bare Qt tray icon with three items, to measure ours against;
//                              "Set Up…" shows a plain window of the welcome window's size
//   app-ui-harness onboarding [--step N]   the welcome window at step N (0 to 4)
//   app-ui-harness pairing     the pairing window, entering a code; ends when it closes
//   app-ui-harness guide screenRecording|accessibility
//                            the settings guide over the display's windows: its panel stands
//                            under a settings window while one is on screen

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/core/ScriptedShell.h"
#include "app/core/SettingsGuide.h"
#include "app/ui/Look.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/Shell.h"
#include "app/ui/TrayHosts.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "runtime/Clock.h"

namespace {

using namespace brindlet;
using namespace brindlet::app::ui;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string option(int argc, char** argv, const std::string& name, std::string otherwise = {}) {
  for (int i = 1; i + 1 < argc; ++i)
    if (argv[i] == name) return argv[i + 1];
  return otherwise;
}

// A computer with `nearby` phones around, the odd ones paired, and none connected.
void scriptNearby(app::ScriptedShell& scripted, int nearby) {
  scripted.change([nearby](app::ShellState& state) {
    for (int i = 1; i <= nearby; ++i)
      state.menu.nearby.push_back(
          app::nearbyPhone("Phone " + std::to_string(i), "uid-" + std::to_string(i), i % 2 == 1));
  });
}

void quitOnQtThread() {
  QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// The settings guide on the loop over the display's window system, its panel the shell's.
void startGuide(app::ScriptedShell& scripted, Shell& shell, app::Permission permission,
                std::shared_ptr<app::SettingsGuide>& guide,
                std::unique_ptr<platform::X11WindowSystem>& windows) {
  auto panel = shell.guidePanel();
  boost::asio::co_spawn(
      scripted.loop.context(),
      [&scripted, &guide, &windows, panel, permission]() -> boost::asio::awaitable<void> {
        const char* display = std::getenv("DISPLAY");
        const std::string name = display ? display : "";
        windows = co_await platform::X11WindowSystem::open(name);
        std::shared_ptr<desktop::WindowSystem> shared(windows.get(), [](desktop::WindowSystem*) {});
        guide = app::SettingsGuide::make(shared, panel, runtime::Clock::system(),
                                         scripted.loop.context().get_executor(), 1);
        guide->show(permission);
        say("ready");
      },
      boost::asio::detached);
}

int runShell(const std::string& mode, int argc, char** argv) {
  app::ScriptedShell scripted;
  const std::string hooks = option(argc, argv, "--hooks");
  scripted.actions.setOnCall([&scripted, hooks](const std::string& line) {
    say(line);
    if (line == "chose quit") quitOnQtThread();
    if (line == "refresh hooks" && !hooks.empty()) {
      const bool installed = std::filesystem::exists(hooks);
      auto state = scripted.state.get();
      state.menu.claudeConnected = installed;
      scripted.state.set(state);
    }
  });
  scriptNearby(scripted, std::atoi(option(argc, argv, "--nearby", "0").c_str()));
  SystemTrayHosts hosts(scripted.loop, "");
  Shell shell(scripted.loop, scripted.actions, {scripted.state, scripted.pairing}, hosts);
  shell.tray().setOnIconMade([&shell] { say("icon " + std::to_string(shell.tray().iconsMade())); });

  std::shared_ptr<app::SettingsGuide> guide;
  std::unique_ptr<platform::X11WindowSystem> windows;
  if (mode == "onboarding") {
    const auto step = app::stepFrom(std::atoi(option(argc, argv, "--step", "0").c_str()));
    scripted.change(
        [step](app::ShellState& state) { state.step = step.value_or(app::Step::welcome); });
    shell.showOnboarding();
  } else if (mode == "pairing") {
    scripted.setPairing(
        app::Pairing::entering(app::nearbyPhone("Ada's iPhone", "uid-ada", false), 3, false));
    shell.showPairing();
    QObject::connect(shell.pairingWindow(), &QObject::destroyed, [] { quitOnQtThread(); });
  } else if (mode == "guide") {
    const auto permission = app::permissionFrom(argc > 2 ? argv[2] : "");
    startGuide(scripted, shell, permission.value_or(app::Permission::accessibility), guide,
               windows);
  }
  if (mode != "guide") say("ready");
  const int status = QApplication::exec();
  scripted.onLoop([&] {
    if (guide) guide->dismiss();
    guide.reset();
    windows.reset();
  });
  return status;
}

// What the app's numbers are measured against: Qt's own tray icon with the same picture and a
// plain menu of three items, the second of which shows a plain window of the welcome window's
// size.
int runBareTray() {
  QMenu menu;
  menu.addAction(QStringLiteral("Bare"))->setEnabled(false);
  QWidget* shown = nullptr;
  QObject::connect(menu.addAction(QStringLiteral("Set Up…")), &QAction::triggered, [&shown] {
    say("chose setup");
    if (!shown) {
      shown = new QWidget;
      shown->setWindowTitle(QStringLiteral("Bare window"));
      shown->setFixedSize(OnboardingWindow::kWidth, OnboardingWindow::kHeight);
      shown->setAttribute(Qt::WA_DeleteOnClose);
      QObject::connect(shown, &QObject::destroyed, [&shown] { shown = nullptr; });
    }
    shown->show();
  });
  QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered,
                   [] { QApplication::quit(); });
  QSystemTrayIcon icon(TrayIcon::icon());
  icon.setContextMenu(&menu);
  QObject::connect(&icon, &QSystemTrayIcon::activated,
                   [&menu](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) menu.popup(QCursor::pos());
                   });
  icon.show();
  say("icon 1");
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string mode = argc > 1 && argv[1][0] != '-' ? argv[1] : "tray";
  // The window class tells the two tray icons apart.
  QApplication::setApplicationName(mode == "bare-tray" ? QStringLiteral("Bare")
                                                       : QStringLiteral("Brindlet"));
  QApplication::setQuitOnLastWindowClosed(false);
  applyApplicationLook();
  if (mode == "bare-tray") return runBareTray();
  return runShell(mode, argc, argv);
}
