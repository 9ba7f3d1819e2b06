// The tray icon over real tray hosts: Xvfb with openbox, and trayer (an XEmbed tray) started
// after the app, killed and started again.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/XServer.h"

namespace brindlet::app::ui {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::XServer;

// Where the harness's icon stands on the screen (its middle), when it is docked in trayer's
// panel: a window of the harness's class somewhere inside the panel's window.
std::optional<std::pair<int, int>> dockedIcon(const XServer& server) {
  std::istringstream tree(server.run({"xwininfo", "-root", "-tree"}).output);
  constexpr std::size_t outside = std::string::npos;
  std::size_t panelDepth = outside;  // the indent of the panel's line while inside it
  for (std::string line; std::getline(tree, line);) {
    const std::size_t depth = line.find_first_not_of(' ');
    if (panelDepth != outside && depth <= panelDepth) panelDepth = outside;
    if (line.find("(\"panel\" \"trayer\")") != std::string::npos) panelDepth = depth;
    if (panelDepth == outside || line.find("\"app-tray-harness\"") == std::string::npos) continue;
    // "... 22x22+0+0  +1001+1": the size, then the place on the root window last.
    int width = 0, height = 0, x = 0, y = 0;
    const std::size_t size = line.rfind(")  ") + 3;
    if (std::sscanf(line.c_str() + size, "%dx%d", &width, &height) != 2) return std::nullopt;
    if (std::sscanf(line.c_str() + line.rfind("  +") + 2, "+%d+%d", &x, &y) != 2)
      return std::nullopt;
    return std::pair{x + width / 2, y + height / 2};
  }
  return std::nullopt;
}

std::unique_ptr<testsupport::ChildProcess> startTrayer(const XServer& server) {
  return server.start(
      {"trayer", "--edge", "top", "--align", "right", "--width", "10", "--height", "24"});
}

TEST(TrayPeer, DocksInATrayThatComesLaterAndAgainAfterItRestarts) {
  XServer server;
  server.startWindowManager();
  const auto appStarted = std::chrono::steady_clock::now();
  // No session bus: XEmbed is the only road.
  auto app = server.start({"env", "QT_QPA_PLATFORM=xcb",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", APP_TRAY_HARNESS});
  ASSERT_TRUE(app->waitFor("No system tray: the menu shows once a tray host runs", 10s))
      << app->output();
  EXPECT_FALSE(dockedIcon(server));

  std::this_thread::sleep_until(appStarted + 3s);
  auto trayer = startTrayer(server);
  auto trayerStarted = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return dockedIcon(server).has_value(); }, 1s, 20ms))
      << app->output();
  const auto firstDock = std::chrono::steady_clock::now() - trayerStarted;
  EXPECT_TRUE(app->waitFor("icon 1", 1s));

  // A left click opens the menu, as the right click does.
  const auto [x, y] = *dockedIcon(server);
  server.run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  EXPECT_TRUE(app->waitFor("menu shown", 2s)) << app->output();
  std::this_thread::sleep_for(500ms);  // "menu shown" comes before the menu is drawn
  const auto shot = std::filesystem::temp_directory_path() / "brindlet-tray-menu.png";
  server.run({"import", "-window", "root", shot.string()});
  server.run({"xdotool", "key", "Escape"});

  trayer.reset();
  ASSERT_TRUE(eventually([&] { return !dockedIcon(server); }, 2s, 20ms));
  trayer = startTrayer(server);
  trayerStarted = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return dockedIcon(server).has_value(); }, 1s, 20ms))
      << app->output();
  const auto secondDock = std::chrono::steady_clock::now() - trayerStarted;
  EXPECT_TRUE(app->waitFor("icon 2", 1s)) << app->output();
  std::printf("docked %lld ms after trayer started, %lld ms after its restart; menu: %s\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(firstDock).count()),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(secondDock).count()),
              shot.c_str());
}

}  // namespace
}  // namespace brindlet::app::ui
