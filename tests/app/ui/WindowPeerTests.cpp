// The windows on a real X server with a window manager: Xvfb and openbox. Found by their titles
// as a user's tools find them, moved by their background, typed into with XTest.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/TempDir.h"
#include "support/XServer.h"

namespace brindlet::app::ui {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::XServer;

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

std::vector<std::string> windowsNamed(const XServer& server, const std::string& name) {
  std::istringstream ids(server.run({"xdotool", "search", "--name", name}).output);
  std::vector<std::string> found;
  for (std::string id; ids >> id;) found.push_back(id);
  return found;
}

// Of the window `id`, or of the whole screen for "root".
Geometry geometryOf(const XServer& server, const std::string& id) {
  const std::vector<std::string> which =
      id == "root" ? std::vector<std::string>{"-root"} : std::vector<std::string>{"-id", id};
  std::vector<std::string> argv{"xwininfo"};
  argv.insert(argv.end(), which.begin(), which.end());
  std::istringstream info(server.run(argv).output);
  Geometry g;
  for (std::string line; std::getline(info, line);) {
    std::sscanf(line.c_str(), " Absolute upper-left X: %d", &g.x);
    std::sscanf(line.c_str(), " Absolute upper-left Y: %d", &g.y);
    std::sscanf(line.c_str(), " Width: %d", &g.width);
    std::sscanf(line.c_str(), " Height: %d", &g.height);
  }
  return g;
}

// A picture of the whole screen, for a person to look at while the test runs, in the test's own
// folder: runs side by side never overwrite each other's, and none is left behind.
std::string screenshot(const XServer& server, const testsupport::TempDir& folder,
                       const std::string& name) {
  const std::string file = folder.file(name + ".png");
  server.run({"import", "-window", "root", file});
  std::printf("screenshot: %s\n", file.c_str());
  return file;
}

// The window manager's frame around the window `id`, decorations counted as it publishes them.
Geometry frameOf(const XServer& server, const std::string& id) {
  Geometry g = geometryOf(server, id);
  int left = 0, right = 0, top = 0, bottom = 0;
  const std::string extents = server.run({"xprop", "-id", id, "_NET_FRAME_EXTENTS"}).output;
  const auto equals = extents.find('=');
  if (equals != std::string::npos)
    std::sscanf(extents.c_str() + equals + 1, " %d, %d, %d, %d", &left, &right, &top, &bottom);
  return {g.x - left, g.y - top, g.width + left + right, g.height + top + bottom};
}

bool viewable(const XServer& server, const std::string& id) {
  return server.run({"xwininfo", "-id", id}).output.find("IsViewable") != std::string::npos;
}

struct WindowPeer : ::testing::Test {
  XServer server;
  testsupport::TempDir pictures;
  std::unique_ptr<testsupport::ChildProcess> app;

  std::string open(const std::string& mode, const std::string& title,
                   const std::string& argument = {}) {
    server.startWindowManager();
    std::vector<std::string> argv{"env", "QT_QPA_PLATFORM=xcb", APP_UI_HARNESS, mode};
    if (!argument.empty()) argv.push_back(argument);
    app = server.start(argv);
    std::vector<std::string> found;
    EXPECT_TRUE(eventually(
        [&] {
          found = windowsNamed(server, title);
          return !found.empty();
        },
        10s, 50ms))
        << app->output();
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::string() : found.front();
  }
};

TEST_F(WindowPeer, TheWelcomeWindowStandsInTheMiddleAndMovesWhenItsBackgroundIsDragged) {
  const std::string id = open("onboarding", "Welcome to Brindlet");
  ASSERT_FALSE(id.empty());
  const Geometry screen = geometryOf(server, "root");
  const Geometry at = geometryOf(server, id);
  EXPECT_EQ(at.width, 640);
  EXPECT_EQ(at.height, 580);
  EXPECT_EQ(at.x, (screen.width - 640) / 2);
  EXPECT_EQ(at.y, (screen.height - 580) / 2);
  EXPECT_TRUE(app->waitFor("poll on", 2s));
  std::this_thread::sleep_for(1s);  // the page's springs settle
  screenshot(server, pictures, "welcome");

  // Pressed on the backdrop below the page's text, dragged by (100, 50).
  const int fromX = at.x + 320, fromY = at.y + 420;
  server.run({"xdotool",
              "mousemove",
              std::to_string(fromX),
              std::to_string(fromY),
              "mousedown",
              "1",
              "sleep",
              "0.2",
              "mousemove",
              std::to_string(fromX + 40),
              std::to_string(fromY + 20),
              "sleep",
              "0.1",
              "mousemove",
              std::to_string(fromX + 100),
              std::to_string(fromY + 50),
              "sleep",
              "0.2",
              "mouseup",
              "1"});
  EXPECT_TRUE(eventually(
      [&] {
        const Geometry moved = geometryOf(server, id);
        return moved.x == at.x + 100 && moved.y == at.y + 50;
      },
      2s, 50ms));
}

TEST_F(WindowPeer, ThePairingWindowStaysOnTopAndTakesTheCodeTypedIntoIt) {
  const std::string id = open("pairing", "Pair iPhone");
  ASSERT_FALSE(id.empty());
  EXPECT_NE(server.run({"xprop", "-id", id, "_NET_WM_STATE"}).output.find("_NET_WM_STATE_ABOVE"),
            std::string::npos);
  EXPECT_EQ(geometryOf(server, id).width, 420);
  ASSERT_TRUE(eventually(
      [&] {
        return server.run({"xdotool", "getactivewindow"}).output.find(id) == 0;
      },
      2s, 50ms));
  server.run({"xdotool", "type", "--delay", "20", "123456"});
  EXPECT_TRUE(app->waitFor("submit 123456", 2s)) << app->output();
  screenshot(server, pictures, "pairing");
  server.run({"xdotool", "key", "Escape"});
  EXPECT_TRUE(app->waitFor("cancel pairing", 2s));
  EXPECT_EQ(app->output().find("submit 123456"), app->output().rfind("submit 123456"));
}

// A terminal that the guide takes for the desktop's settings window, by its class.
struct SettingsStandIn {
  std::unique_ptr<testsupport::ChildProcess> process;
  std::string id;
};

SettingsStandIn startSettings(const XServer& server, const std::string& title,
                              const std::string& geometry) {
  SettingsStandIn settings;
  settings.process = server.start(
      {"xterm", "-class", "Gnome-control-center", "-title", title, "-geometry", geometry});
  eventually(
      [&] {
        const auto found = windowsNamed(server, title);
        if (!found.empty()) settings.id = found.front();
        return !settings.id.empty() && viewable(server, settings.id);
      },
      10s, 50ms);
  return settings;
}

TEST_F(WindowPeer, TheGuideStandsUnderTheSettingsWindowAndFollowsIt) {
  server.startWindowManager();
  SettingsStandIn settings = startSettings(server, "settings one", "80x20+60+80");
  ASSERT_FALSE(settings.id.empty());
  const std::string panel = open("guide", "Turn on Brindlet", "accessibility");
  ASSERT_FALSE(panel.empty());

  // Centred 12 px under the frame, 400 x 96.
  auto standsUnder = [&](const std::string& id) {
    const Geometry frame = frameOf(server, id);
    const Geometry at = geometryOf(server, panel);
    return viewable(server, panel) && at.width == 400 && at.height == 96 &&
           std::abs(at.x - (frame.x + (frame.width - 400) / 2)) <= 1 &&
           at.y == frame.y + frame.height + 12;
  };
  auto where = [&](const std::string& id) {
    const Geometry frame = frameOf(server, id);
    const Geometry at = geometryOf(server, panel);
    std::ostringstream text;
    text << "frame " << frame.x << "," << frame.y << " " << frame.width << "x" << frame.height
         << "; panel " << at.x << "," << at.y << " " << at.width << "x" << at.height
         << (viewable(server, panel) ? " shown" : " hidden");
    return text.str();
  };
  EXPECT_TRUE(eventually([&] { return standsUnder(settings.id); }, 2s, 20ms))
      << where(settings.id) << "\n"
      << app->output();
  std::this_thread::sleep_for(500ms);  // faded in
  screenshot(server, pictures, "guide");

  // Moved: the panel follows within a tick.
  server.run({"xdotool", "windowmove", settings.id, "300", "200"});
  const auto moved = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return standsUnder(settings.id); }, 2s, 10ms));
  const auto followed = std::chrono::steady_clock::now() - moved;
  std::printf("the guide followed its window after %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(followed).count()));
  EXPECT_LE(followed, 250ms)
      << "followed after "
      << std::chrono::duration_cast<std::chrono::milliseconds>(followed).count() << " ms";

  // Of two settings windows, the larger.
  SettingsStandIn larger = startSettings(server, "settings two", "120x40+500+100");
  ASSERT_FALSE(larger.id.empty());
  EXPECT_TRUE(eventually([&] { return standsUnder(larger.id); }, 2s, 20ms));
  larger.process.reset();
  EXPECT_TRUE(eventually([&] { return standsUnder(settings.id); }, 2s, 20ms));

  // Minimised, then closed: the panel leaves.
  server.run({"xdotool", "windowminimize", settings.id});
  EXPECT_TRUE(eventually([&] { return !viewable(server, panel); }, 2s, 20ms));
  server.run({"xdotool", "windowmap", settings.id});
  EXPECT_TRUE(eventually([&] { return standsUnder(settings.id); }, 2s, 20ms));
  settings.process.reset();
  EXPECT_TRUE(eventually([&] { return !viewable(server, panel); }, 2s, 20ms));
}

}  // namespace
}  // namespace brindlet::app::ui
