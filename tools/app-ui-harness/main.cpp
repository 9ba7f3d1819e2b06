// Runs the app's user interface on the display of $DISPLAY for the tests that drive it from
// outside, over fixed stand-ins for the shell's models. It says on standard output what it
// does and what the user chose, one line each:
//   app-ui-harness [tray]    the tray icon over the desktop's real tray hosts: "icon <n>" for
//                            each icon made, "menu shown", "chose <action>" ("quit" ends it)
//   app-ui-harness onboarding  the welcome window: "shown", "main", "back", "closed"
//   app-ui-harness pairing     the pairing window, entering a code: "submit <code>", "closed"

#include <QApplication>

#include <cstdio>
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

std::vector<MenuItem> trayItems() {
  using Kind = MenuItem::Kind;
  MenuItem quit = menuItem(Kind::button, "Quit Brindlet", "quit");
  quit.shortcut = "Ctrl+Q";
  return {menuItem(Kind::text, "Brindlet"), menuItem(Kind::text, "No iPhone or iPad connected"),
          menuItem(Kind::divider, ""), quit};
}

int runTray(brindlet::runtime::MainLoop& loop) {
  SystemTrayHosts hosts(loop, "");
  TrayMenu menu(
      [](const std::string& action) {
        say("chose " + action);
        if (action == "quit") QApplication::quit();
      },
      [] { say("menu shown"); });
  menu.setItems(trayItems());
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
  });
  QWidget* window = slot.show();
  QObject::connect(window, &QObject::destroyed, [] { QApplication::quit(); });
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brindlet"));
  QApplication::setQuitOnLastWindowClosed(false);
  applyApplicationLook();
  const std::string mode = argc > 1 ? argv[1] : "tray";
  if (mode != "tray") return runWindow(mode);
  brindlet::runtime::MainLoop loop;
  brindlet::runtime::LoopThread loopThread(loop);
  const int status = runTray(loop);
  loopThread.stop();
  return status;
}
