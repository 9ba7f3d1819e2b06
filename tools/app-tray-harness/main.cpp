// Runs the tray icon and its menu on the display of $DISPLAY over the desktop's real tray hosts,
// with a fixed menu, for the tests that dock it in a running tray. Says on standard output when
// it makes an icon ("icon <n>"), when the menu opens ("menu shown") and what the user chooses
// ("chose <action>"); "quit" ends it.

#include <QApplication>

#include <cstdio>
#include <string>

#include "app/ui/Look.h"
#include "app/ui/TrayHosts.h"
#include "app/ui/TrayIcon.h"
#include "app/ui/TrayMenu.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"

namespace {

using brindlet::app::ui::MenuItem;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::vector<MenuItem> items() {
  using Kind = MenuItem::Kind;
  using brindlet::app::ui::menuItem;
  MenuItem quit = menuItem(Kind::button, "Quit Brindlet", "quit");
  quit.shortcut = "Ctrl+Q";
  return {menuItem(Kind::text, "Brindlet"), menuItem(Kind::text, "No iPhone or iPad connected"),
          menuItem(Kind::divider, ""), quit};
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brindlet"));
  QApplication::setQuitOnLastWindowClosed(false);
  brindlet::app::ui::applyApplicationLook();
  brindlet::runtime::MainLoop loop;
  brindlet::runtime::LoopThread loopThread(loop);
  int status = 0;
  {
    brindlet::app::ui::SystemTrayHosts hosts(loop, "");
    brindlet::app::ui::TrayMenu menu(
        [](const std::string& action) {
          say("chose " + action);
          if (action == "quit") QApplication::quit();
        },
        [] { say("menu shown"); });
    menu.setItems(items());
    brindlet::app::ui::TrayIcon tray(hosts, menu);
    tray.setOnIconMade([&tray] { say("icon " + std::to_string(tray.iconsMade())); });
    status = QApplication::exec();
  }
  loopThread.stop();
  return status;
}
