// The tray icon over real tray hosts: Xvfb with openbox, and trayer (an XEmbed tray) started
// after the app, killed and started again; and status-notifier-watcher on a private session bus
// with a host that the test registers.

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>
#include <fstream>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/SessionBus.h"
#include "support/TempDir.h"
#include "support/Trayer.h"
#include "support/XServer.h"

namespace brindlet::app::ui {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::XServer;

// The harness's icon, docked in trayer's panel.
std::optional<std::pair<int, int>> dockedIcon(const XServer& server) {
  return testsupport::dockedIcon(server, "(\"app-ui-harness\" \"Brindlet\")");
}

TEST(TrayPeer, DocksInATrayThatComesLaterAndAgainAfterItRestarts) {
  XServer server;
  server.startWindowManager();
  const auto appStarted = std::chrono::steady_clock::now();
  // No session bus: XEmbed is the only road.
  auto app = server.start({"env", "QT_QPA_PLATFORM=xcb",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", APP_UI_HARNESS});
  ASSERT_TRUE(app->waitFor("No system tray: the menu shows once a tray host runs", 10s))
      << app->output();
  EXPECT_FALSE(dockedIcon(server));

  std::this_thread::sleep_until(appStarted + 3s);
  // No icon is made while there is no tray to hold it, and the app says so only once.
  app->waitFor("icon", 10ms);
  EXPECT_EQ(app->output().find("icon 1"), std::string::npos);
  const std::string none = "No system tray: the menu shows once a tray host runs";
  EXPECT_EQ(app->output().find(none), app->output().rfind(none));
  auto trayer = testsupport::startTrayer(server);
  auto trayerStarted = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return dockedIcon(server).has_value(); }, 1s, 20ms))
      << app->output();
  const auto firstDock = std::chrono::steady_clock::now() - trayerStarted;
  EXPECT_TRUE(app->waitFor("icon 1", 1s));

  // A left click opens the menu, as the right click does.
  const auto [x, y] = *dockedIcon(server);
  server.run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  EXPECT_TRUE(app->waitFor("refresh hooks", 2s)) << app->output();
  std::this_thread::sleep_for(500ms);  // "menu shown" comes before the menu is drawn
  const auto shot = std::filesystem::temp_directory_path() / "brindlet-tray-menu.png";
  server.run({"import", "-window", "root", shot.string()});
  server.run({"xdotool", "key", "Escape"});

  trayer.reset();
  ASSERT_TRUE(eventually([&] { return !dockedIcon(server); }, 2s, 20ms));
  trayer = testsupport::startTrayer(server);
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

// The harness's windows the server shows: its icon, then its menu and each open submenu.
std::size_t shownWindows(const XServer& server) {
  const std::string ids =
      server.run({"xdotool", "search", "--onlyvisible", "--classname", "app-ui-harness"}).output;
  return std::size_t(std::count(ids.begin(), ids.end(), '\n'));
}

// The menu shows "Quit Brindlet Ctrl+Q": with the menu open, at any of its levels, that key quits
// as the item does.
TEST(TrayPeer, CtrlQWithTheMenuOpenQuits) {
  const struct {
    const char* name;
    std::vector<std::string> keys;  // typed once the menu shows, to reach the level
  } rows[] = {
      {"the menu open", {}},
      {"the Agents submenu open", {"Down", "Right"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    XServer server;
    server.startWindowManager();
    auto trayer = testsupport::startTrayer(server);
    auto app = server.start({"env", "QT_QPA_PLATFORM=xcb",
                             "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", APP_UI_HARNESS});
    ASSERT_TRUE(eventually([&] { return dockedIcon(server).has_value(); }, 10s, 20ms))
        << app->output();
    const auto [x, y] = *dockedIcon(server);
    const std::size_t icon = shownWindows(server);
    // A click that comes before the icon's window takes input is lost: clicked again.
    ASSERT_TRUE(eventually(
        [&] {
          server.run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "3"});
          return app->waitFor("refresh hooks", 2s);
        },
        10s, 0ms))
        << app->output();
    ASSERT_TRUE(eventually([&] { return shownWindows(server) == icon + 1; }, 5s, 20ms));
    std::this_thread::sleep_for(500ms);  // the menu takes the keyboard after it shows
    for (const auto& key : row.keys) server.run({"xdotool", "key", key});
    ASSERT_TRUE(eventually([&] { return shownWindows(server) == icon + 1 + (!row.keys.empty()); },
                           5s, 20ms));
    server.run({"xdotool", "key", "ctrl+q"});
    EXPECT_TRUE(app->waitFor("chose quit", 2s)) << app->output();
    EXPECT_EQ(app->waitExit(5s), 0) << app->output();
  }
}

// A StatusNotifierItem host: owns its name on the session bus and registers it with the watcher.
class NotifierHost {
 public:
  static constexpr const char* kName = "org.kde.StatusNotifierHost-brindlet-test";

  NotifierHost() {
    if (sd_bus_open_user(&bus_) < 0) throw std::runtime_error("no session bus");
    if (sd_bus_request_name(bus_, kName, 0) < 0) throw std::runtime_error("name taken");
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus_, "org.kde.StatusNotifierWatcher",
                                     "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                     "RegisterStatusNotifierHost", &error, nullptr, "s", kName);
    const std::string message = error.message ? error.message : "";
    sd_bus_error_free(&error);
    if (r < 0) throw std::runtime_error("RegisterStatusNotifierHost: " + message);
  }
  ~NotifierHost() { sd_bus_flush_close_unref(bus_); }
  NotifierHost(const NotifierHost&) = delete;
  NotifierHost& operator=(const NotifierHost&) = delete;

 private:
  sd_bus* bus_ = nullptr;
};

std::string gdbusCall(const std::string& dest, const std::string& path, const std::string& method,
                      const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"gdbus",         "call", "--session", "--dest", dest,
                                "--object-path", path,   "--method",  method,   "--"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return testsupport::runProgram(argv).output;
}

std::string firstQuoted(const std::string& text) {
  const auto open = text.find('\'');
  if (open == std::string::npos) return {};
  return text.substr(open + 1, text.find('\'', open + 1) - open - 1);
}

// The menu's entry labelled `label` in a dbusmenu layout: its id, or "".
std::string entryId(const std::string& layout, const std::string& label) {
  std::smatch found;
  const std::regex entry(R"(\((\d+), \{[^}]*'label': <')" + label + "'>");
  return std::regex_search(layout, found, entry) ? found[1].str() : std::string();
}

TEST(TrayPeer, RegistersAStatusNotifierItemWhoseMenuAHostReadsAndClicks) {
  testsupport::TempDir dir;
  auto bus = testsupport::startSessionBus(dir.path(), "exec status-notifier-watcher",
                                          "org.kde.StatusNotifierWatcher");
  XServer server;
  const std::string hooks = dir.path() + "/hooks-installed";
  auto app = server.start({"env", "QT_QPA_PLATFORM=xcb", APP_UI_HARNESS, "--hooks", hooks});
  // A watcher without a host shows nothing.
  ASSERT_TRUE(app->waitFor("No system tray: the menu shows once a tray host runs", 10s))
      << app->output();
  NotifierHost host;
  ASSERT_TRUE(app->waitFor("icon 1", 5s)) << app->output();

  const std::string watcher = "org.kde.StatusNotifierWatcher";
  std::string item;
  ASSERT_TRUE(eventually(
      [&] {
        item = firstQuoted(gdbusCall(watcher, "/StatusNotifierWatcher",
                                     "org.freedesktop.DBus.Properties.Get",
                                     {watcher, "RegisteredStatusNotifierItems"}));
        return !item.empty();
      },
      5s, 50ms));
  const std::string service = item.substr(0, item.find('/'));
  const std::string menu =
      firstQuoted(gdbusCall(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                            {"org.kde.StatusNotifierItem", "Menu"}));
  ASSERT_FALSE(menu.empty());
  auto layout = [&] {
    return gdbusCall(service, menu, "com.canonical.dbusmenu.GetLayout", {"0", "-1", "[]"});
  };

  // The menu is built as it opens: AboutToShow, then the layout holds the items.
  gdbusCall(service, menu, "com.canonical.dbusmenu.AboutToShow", {"0"});
  EXPECT_TRUE(app->waitFor("refresh hooks", 2s));
  std::string shown;
  ASSERT_TRUE(eventually(
      [&] {
        shown = layout();
        return !entryId(shown, "Connect Claude Code").empty();
      },
      2s, 50ms))
      << shown;
  for (const char* label : {"'Brindlet'", "'No iPhone or iPad connected'", "'Agents'",
                            "'Set Up Brindlet…'", "'Quit Brindlet'"})
    EXPECT_NE(shown.find(label), std::string::npos) << label << " in " << shown;
  gdbusCall(service, menu, "com.canonical.dbusmenu.Event",
            {entryId(shown, "Connect Claude Code"), "clicked", "<0>", "0"});
  EXPECT_TRUE(app->waitFor("chose install", 2s)) << app->output();

  // The hooks changed outside the app: the next opening reads them again.
  std::ofstream(hooks) << "installed\n";
  gdbusCall(service, menu, "com.canonical.dbusmenu.AboutToShow", {"0"});
  EXPECT_TRUE(
      eventually([&] { return !entryId(layout(), "Claude Code Connected").empty(); }, 2s, 50ms))
      << layout();
  EXPECT_NE(layout().find("'Disconnect Claude Code'"), std::string::npos);

  const std::string quit = entryId(layout(), "Quit Brindlet");
  ASSERT_FALSE(quit.empty());
  gdbusCall(service, menu, "com.canonical.dbusmenu.Event", {quit, "clicked", "<0>", "0"});
  EXPECT_TRUE(app->waitFor("chose quit", 2s)) << app->output();
  EXPECT_EQ(app->waitExit(5s), 0);
}

}  // namespace
}  // namespace brindlet::app::ui
