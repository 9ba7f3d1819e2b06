// The app as a user runs it, shared by the end-to-end suites: the real binary on Xorg with the
// dummy driver, openbox and trayer, a private home, a session bus with an unlocked keyring and the
// accessibility bus, a German locale, and a scripted phone behind a stand-in usbmuxd or found over
// Wi-Fi; menu items are chosen over AT-SPI, as a screen reader would.

#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/AccessibilityBus.h"
#include "support/AvahiDaemon.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/Ffmpeg.h"
#include "support/PrivateNamespaces.h"
#include "support/SessionBus.h"
#include "support/SlowClients.h"
#include "support/TempDir.h"
#include "support/Trayer.h"
#include "support/UsbPhone.h"
#include "support/XServer.h"

namespace brindlet::app::testing {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::XServer;
namespace fs = std::filesystem;

inline const std::string build = BRINDLET_BINARY_DIR;
inline const std::string app = build + "/bin/brindlet";
inline const std::string scriptedPhone = build + "/tools/scripted-phone/scripted-phone";
inline const std::string atspi = std::string(BRINDLET_SOURCE_DIR) + "/tests/support/atspi-app";
// The tray icon's window class, as xwininfo shows it.
inline const std::string iconClass = "(\"brindlet\" \"Brindlet\")";

// Digits unique to this run of a suite among the runs on the machine: a copy of the suite running
// beside it carries others, so a mark made of them tells this run's processes from that copy's.
inline const std::string& runMark() {
  static const std::string mark =
      std::to_string(std::random_device{}()) + std::to_string(::getpid());
  return mark;
}

inline int count(const std::string& text, const std::string& part) {
  int found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// The command lines of the live processes whose environment holds `marker`: the app's run and
// whatever it started, which inherits its environment.
inline std::string processesMarked(const std::string& marker) {
  std::string found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    const std::string folder = std::string("/proc/") + entry->d_name;
    const std::string environment = testsupport::readFile(folder + "/environ");
    if (environment.find(marker + '\0') == std::string::npos) continue;
    std::ifstream stat(folder + "/stat");
    std::string text;
    std::getline(stat, text);
    // "pid (name) state ...": a zombie is gone but for its parent's wait.
    const auto nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos || text.substr(nameEnd + 2, 1) == "Z") continue;
    auto line = testsupport::readFile(folder + "/cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    found += "[" + line + "]";
  }
  closedir(proc);
  return found;
}

// The video frames the phone printed so far.
inline int videoFrames(const ChildProcess& phone) {
  return count(phone.output(), "frame video ");
}

class AppPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new testsupport::TempDir;
    x_ = new XServer(XServer::Kind::xorgDummy);
    x_->startWindowManager();
    bus_ = new testsupport::AccessibilityBus(
        x_->display(), {"echo | exec gnome-keyring-daemon --foreground --unlock "
                        "--components=secrets >/dev/null 2>&1",
                        "org.freedesktop.secrets"});
    testsupport::usePrivateHome(home_->path());
    setenv("XDG_SESSION_TYPE", "x11", 1);
    unsetenv("XCTestConfigurationFilePath");
    // Number texts must not follow a decimal-comma locale.
    setenv("LANG", "de_DE.UTF-8", 1);
    for (const char* category : {"LC_ALL", "LC_NUMERIC", "LANGUAGE"}) unsetenv(category);
    setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    // Animations off, as a user may have them: the pairing field does not shake.
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    const auto settings = fs::path(home_->path()) / "config/glib-2.0/settings";
    fs::create_directories(settings);
    std::ofstream(settings / "keyfile")
        << "[org/gnome/desktop/interface]\nenable-animations=false\n";
    if (!testsupport::outsidePrivateNamespaces()) {
      avahi_ = new testsupport::AvahiDaemon(true, testsupport::AvahiDaemon::Network::current);
    }
    trayer_ = testsupport::startTrayer(*x_).release();
  }
  static void TearDownTestSuite() {
    delete trayer_;
    delete avahi_;
    delete bus_;
    delete x_;
    delete home_;
  }
  void TearDown() override {
    for (auto& child : children_) child->stop();
  }

  ChildProcess& start(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
    // The X server's runner points HOME and the config folder at its own; the app's are the
    // private home's.
    const std::string home = home_->path();
    std::vector<std::string> line{"env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                                  "XDG_CACHE_HOME=" + home + "/cache"};
    line.insert(line.end(), environment.begin(), environment.end());
    line.insert(line.end(), argv.begin(), argv.end());
    // The app's log is read from its standard error here, even where a journal listens.
    if (!argv.empty() && argv.back() == app) line.push_back("--log-both");
    children_.push_back(x_->start(line));
    return *children_.back();
  }
  // The scripted phone on ports of the system's choosing, behind a stand-in usbmuxd on a socket
  // in `folder`; the socket's path. The phone writes its video to `folder`'s "video.h264".
  std::pair<ChildProcess*, std::string> usbPhone(const testsupport::TempDir& folder) {
    auto usb = testsupport::startUsbPhone(build, folder.path(), 0, "Test Phone",
                                          folder.file("video.h264"));
    children_.push_back(std::move(usb.phone));
    ChildProcess* phone = children_.back().get();
    children_.push_back(std::move(usb.usbmuxd));
    return {phone, usb.socket};
  }
  // The app with the phone on USB, the stand-in programs of `run` first on its PATH, and the
  // deck of `profile` (for terminals of the class "Keys") shown: a terminal of that class in
  // front. The app is started through `launcher` (a program and its arguments) when given.
  ChildProcess& deckInFront(const testsupport::TempDir& run, const std::string& profile,
                            std::vector<std::string> launcher = {}) {
    const auto folder = data() / "Brindlet/Profiles";
    fs::create_directories(folder);
    std::ofstream(folder / "Keys.json") << profile;
    auto [phone, socket] = usbPhone(run);
    phone_ = phone;
    launcher.push_back(app);
    auto& brindlet = start(launcher, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket,
                                      "PATH=" + run.path() + ":" + std::getenv("PATH")});
    EXPECT_TRUE(phone->waitFor("connected(", 15s)) << brindlet.output();
    start({"xterm", "-class", "Keys", "-e", "sleep", "300"});
    EXPECT_TRUE(testsupport::eventually(
        [&] {
          return x_->run({"wmctrl", "-x", "-a", "Keys"}).status == 0;
        },
        10s, 100ms));
    EXPECT_TRUE(testsupport::eventually([&] { return profilesShown() > 0; }, 10s, 20ms))
        << phone->output() << brindlet.output();
    return brindlet;
  }
  // The deck profiles for "Keys" the phone has been sent so far.
  int profilesShown() {
    phone_->waitFor("\x01", 20ms);  // reads what the phone printed meanwhile
    return count(phone_->output(), "{\"app\":\"Keys\",\"appName\"");
  }
  void press(const std::string& key) {
    phone_->write(R"(send {"t":"deckAction","id":100,"profile":"com.test.Keys","key":")" + key +
                  R"(","phase":"press"})"
                  "\n");
  }

  static fs::path data() { return fs::path(home_->path()) / "data"; }
  static fs::path serverJson() { return data() / "com.velvane.mac/agents/server.json"; }
  static fs::path serverHeaders() { return serverJson().parent_path() / "server.headers"; }
  // The hook server's port, once its discovery file is there; 0 when it never came.
  static std::uint16_t hookPort() {
    if (!testsupport::eventually([] { return fs::exists(serverJson()); }, 10s, 50ms)) return 0;
    const std::string published = testsupport::readFile(serverJson().string());
    return std::uint16_t(std::stoi(published.substr(published.find("\"port\":") + 7)));
  }
  // A session's start as a coding agent's hook reports it.
  static std::string hookEvent() {
    return R"({"session_id":"s","hook_event_name":"SessionStart","cwd":"/tmp","source":"startup"})";
  }
  // The event as one raw request with this run's token, as the hook sends it.
  static std::string hookRequest() {
    std::string token = testsupport::readFile(serverHeaders().string());  // the header's line
    token.erase(token.find('\n'));
    const std::string event = hookEvent();
    return "POST /hook?vendor=claude HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token +
           "\r\nContent-Length: " + std::to_string(event.size()) + "\r\n\r\n" + event;
  }
  // Sends `count` hook events whole, each 150 ms after its connection as a hook on a busy
  // computer may, 100 ms apart: how many the app answered with 200.
  static int laggingHooks(std::uint16_t port, int count) {
    return testsupport::spacedRequests(port, hookRequest(), count, 150ms, [](const auto& reply) {
      return reply.starts_with("HTTP/1.1 200 OK");
    });
  }
  // Sends `count` hook events with curl as the agent hook does, each whole at once, 100 ms
  // apart: how many the app answered with 200, and curl's lines.
  static std::pair<int, std::string> curlHooks(std::uint16_t port, int count) {
    const std::string curl =
        "for i in $(seq $3); do curl -s -o /dev/null -w '%{http_code}\\n' --max-time 10 -X POST "
        "\"http://127.0.0.1:$0/hook?vendor=claude\" -H 'Content-Type: application/json' "
        "-H @\"$1\" --data-binary \"$2\" & sleep 0.1; done; wait";
    const auto sent =
        testsupport::runProgram({"sh", "-c", curl, std::to_string(port), serverHeaders().string(),
                                 hookEvent(), std::to_string(count)});
    return {brindlet::app::testing::count(sent.output, "200\n"), sent.output};
  }
  static bool docked() { return testsupport::dockedIcon(*x_, iconClass).has_value(); }
  static bool welcomeShown() {
    return x_->run({"xdotool", "search", "--onlyvisible", "--name", "Welcome to Brindlet"})
               .status == 0;
  }
  // The welcome window, shown or minimised; empty when there is none.
  static std::string welcomeWindow() {
    const auto ids = x_->run({"xdotool", "search", "--name", "Welcome to Brindlet"});
    return ids.output.substr(0, ids.output.find('\n'));
  }
  // `key` (as xdotool names it) in the welcome window, once it is the active window.
  static bool keyInWelcome(const std::string& key) {
    const std::string id = welcomeWindow();
    if (id.empty()) return false;
    const bool active = testsupport::eventually(
        [&] {
          x_->run({"xdotool", "windowactivate", id});
          return x_->run({"xdotool", "getactivewindow"}).output.find(id) == 0;
        },
        3s, 100ms);
    x_->run({"xdotool", "key", key});
    return active;
  }
  static bool pressReturn() { return keyInWelcome("Return"); }
  // The phone's extra monitor, 1178×2556, while it is there.
  static std::optional<testsupport::Monitor> ourMonitor() {
    for (const auto& m : testsupport::monitors(*x_))
      if (m.width == 1178 && m.height == 2556) return m;
    return std::nullopt;
  }
  static std::optional<testsupport::Monitor> awaitOurMonitor() {
    std::optional<testsupport::Monitor> shown;
    testsupport::eventually([&] { return (shown = ourMonitor()).has_value(); }, 5s, 50ms);
    return shown;
  }

  // What the app offers over AT-SPI, as "showing|hidden\trole\tname\ttext" lines: its windows,
  // or with `openMenu` the tray menu, opened with a click on the icon as the user opens it.
  static std::string accessibles(bool openMenu = false) {
    return x_->run(atspiLine({"list", "brindlet"}, openMenu)).output;
  }
  static std::vector<std::string> atspiLine(std::vector<std::string> words, bool openMenu) {
    words.insert(words.begin(), atspi);
    if (!openMenu) return words;
    const auto icon = testsupport::dockedIcon(*x_, iconClass);
    if (!icon) return words;
    words.insert(words.end(), {"--", "xdotool", "mousemove", std::to_string(icon->first),
                               std::to_string(icon->second), "click", "1"});
    return words;
  }
  // The menu, left open by an item chosen over AT-SPI, closed as the user closes it: Escape, or
  // where a rebuild of the open menu has lost its keyboard, a click outside it (on the icon).
  static void closeMenu() {
    if (menuOpen()) x_->run({"xdotool", "key", "Escape"});
    if (testsupport::eventually([] { return !menuOpen(); }, 1s, 50ms)) return;
    const auto icon = testsupport::dockedIcon(*x_, iconClass);
    if (icon) {
      x_->run({"xdotool", "mousemove", std::to_string(icon->first), std::to_string(icon->second),
               "click", "1"});
    }
    EXPECT_TRUE(testsupport::eventually([] { return !menuOpen(); }, 2s, 50ms))
        << x_->run({"sh", "-c",
                    "for w in $(xdotool search --maxdepth 1 --onlyvisible --classname brindlet); "
                    "do xwininfo -id $w; done"})
               .output;
  }
  // A window of ours straight on the root window is showing, and it is no tooltip: the menu (the
  // icon is in the panel, and openbox frames the other windows).
  static bool menuOpen() {
    std::istringstream ids(x_->run({"xdotool", "search", "--maxdepth", "1", "--onlyvisible",
                                    "--classname", "^brindlet$"})
                               .output);
    for (std::string id; std::getline(ids, id);) {
      if (x_->run({"xprop", "-id", id, "_NET_WM_WINDOW_TYPE"})
              .output.find("_NET_WM_WINDOW_TYPE_TOOLTIP") == std::string::npos)
        return true;
    }
    return false;
  }
  // The menu item called `name` chosen over AT-SPI; false when the menu does not offer it.
  static bool choose(const std::string& name) {
    const bool chosen = x_->run(atspiLine({"press", "brindlet", name}, true)).status == 0;
    closeMenu();
    return chosen;
  }
  // Whether the menu offers `name`.
  static bool menuShows(const std::string& name) {
    const bool shown = accessibles(true).find("\t" + name + "\t") != std::string::npos;
    closeMenu();
    return shown;
  }

  inline static testsupport::TempDir* home_ = nullptr;
  inline static testsupport::AccessibilityBus* bus_ = nullptr;
  inline static testsupport::AvahiDaemon* avahi_ = nullptr;
  inline static XServer* x_ = nullptr;
  inline static ChildProcess* trayer_ = nullptr;
  std::vector<std::unique_ptr<ChildProcess>> children_;
  ChildProcess* phone_ = nullptr;  // the phone of deckInFront
};

}  // namespace brindlet::app::testing
