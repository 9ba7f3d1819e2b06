// Runs the app's user interface on the display of $DISPLAY for the tests that drive it from
// outside, over fixed stand-ins for the shell's models. It says on standard output what it
// does and what the user chose, one line each:
//   app-ui-harness [tray [--nearby N]]
//                            the tray icon over the desktop's real tray hosts, its menu with N
//                            nearby phones: "icon <n>" for each icon made, "menu shown",
//                            "chose <action>" ("quit" ends it, "setup" opens the welcome window)
//   app-ui-harness bare-tray   a bare Qt tray icon with three items, to measure ours against;
//                              "Set Up…" shows a plain window of the welcome window's size
//   app-ui-harness onboarding  the welcome window: "shown", "main", "back", "closed"
//   app-ui-harness pairing     the pairing window, entering a code: "submit <code>", "closed"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/ui/FramelessWindow.h"
#include "app/ui/Look.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/TrayHosts.h"
#include "app/ui/TrayIcon.h"
#include "app/ui/TrayMenu.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"

namespace {

using namespace brindlet::app::ui;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The menu of a computer with `nearby` phones around and none connected.
std::vector<MenuItem> trayItems(int nearby) {
  using Kind = MenuItem::Kind;
  std::vector<MenuItem> items{menuItem(Kind::text, "Brindlet"),
                              menuItem(Kind::text, "No iPhone or iPad connected")};
  if (nearby > 0) {
    MenuItem section = menuItem(Kind::section, "Nearby");
    MenuItem forget = menuItem(Kind::submenu, "Forget");
    for (int i = 1; i <= nearby; ++i) {
      const std::string name = "Phone " + std::to_string(i);
      section.children.push_back(
          menuItem(Kind::button, "Connect to " + name, "connect." + std::to_string(i)));
      forget.children.push_back(
          menuItem(Kind::button, "Forget " + name, "forget." + std::to_string(i)));
    }
    items.push_back(section);
    items.push_back(forget);
  }
  MenuItem agents = menuItem(Kind::submenu, "Agents");
  agents.children = {menuItem(Kind::button, "Connect Claude Code", "install")};
  MenuItem update = menuItem(Kind::button, "Check for Updates…", "update");
  update.enabled = false;
  MenuItem quit = menuItem(Kind::button, "Quit Brindlet", "quit");
  quit.shortcut = "Ctrl+Q";
  items.insert(items.end(), {menuItem(Kind::divider, ""), agents,
                             menuItem(Kind::button, "Set Up Brindlet…", "setup"), update, quit});
  return items;
}

QWidget* newWelcomeWindow() {
  auto* window = new OnboardingWindow(
      {[] { say("back"); }, [] { say("main"); }, [] { say("shown"); }, [] { say("closed"); }});
  window->showPage({0,
                    "macbook.and.iphone",
                    {0.04, 0.52, 1, 1},
                    "Welcome to Brindlet",
                    "Your iPhone becomes a second display for your computer, and a deck of "
                    "controls that changes with the app you're in."},
                   nullptr, true);
  window->setBar({false, "Get Started"});
  return window;
}

int runTray(brindlet::runtime::MainLoop& loop, int nearby) {
  SystemTrayHosts hosts(loop, "");
  SingleWindow welcome(newWelcomeWindow);
  TrayMenu menu(
      [&welcome](const std::string& action) {
        say("chose " + action);
        if (action == "quit") QApplication::quit();
        if (action == "setup") welcome.show();
      },
      [] { say("menu shown"); });
  menu.setItems(trayItems(nearby));
  TrayIcon tray(hosts, menu);
  tray.setOnIconMade([&tray] { say("icon " + std::to_string(tray.iconsMade())); });
  return QApplication::exec();
}

// Keeps decimal digits 0-9, six at most, and submits six: a stand-in for the shell's filter.
PairingCodeField::Filtered digits(const std::string&, const std::string& typed) {
  std::string kept;
  for (char c : typed)
    if (c >= '0' && c <= '9' && kept.size() < 6) kept += c;
  return {kept, kept.size() == 6};
}

int runWindow(const std::string& which) {
  SingleWindow slot([&which]() -> QWidget* {
    if (which == "pairing") {
      auto* window = new PairingWindow(
          digits, [](const std::string& code) { say("submit " + code); }, [] { say("closed"); });
      PairingLook look;
      look.title = "Pair with Ada's iPhone";
      look.message = "Enter the 6-digit code shown on Ada's iPhone.";
      look.entering = true;
      look.phoneName = "Ada's iPhone";
      look.action = PairingLook::Action::cancel;
      window->setLook(look);
      return window;
    }
    return newWelcomeWindow();
  });
  QWidget* window = slot.show();
  QObject::connect(window, &QObject::destroyed, [] { QApplication::quit(); });
  return QApplication::exec();
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
  const std::string mode = argc > 1 ? argv[1] : "tray";
  // The window class tells the two tray icons apart.
  QApplication::setApplicationName(mode == "bare-tray" ? QStringLiteral("Bare")
                                                       : QStringLiteral("Brindlet"));
  QApplication::setQuitOnLastWindowClosed(false);
  applyApplicationLook();
  if (mode == "bare-tray") return runBareTray();
  if (mode != "tray") return runWindow(mode);
  const int nearby = argc > 3 && std::string(argv[2]) == "--nearby" ? std::atoi(argv[3]) : 0;
  brindlet::runtime::MainLoop loop;
  brindlet::runtime::LoopThread loopThread(loop);
  const int status = runTray(loop, nearby);
  loopThread.stop();
  return status;
}
