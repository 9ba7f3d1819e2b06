// The phone's extra display end to end: the session on the real pieces under Xorg with the dummy
// driver and openbox, and the scripted phone program dialled over loopback.

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/linux/x11/X11WindowSystem.h"
#include "protocol/DisplayMessages.h"
#include "session/RealSession.h"
#include "session/WindowFollower.h"
#include "support/Ffmpeg.h"

namespace brindlet::session::testing {
namespace {

using namespace std::chrono_literals;
using testsupport::monitorNamed;

// Polls until the condition holds or the time runs out.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

protocol::Pane pane(protocol::Mode mode) {
  protocol::Pane p;
  p.w = 393;
  p.h = 852;
  p.scale = 3;
  p.mode = mode;
  return p;
}

// "x:2214 y:1278 screen:0 window:..." as xdotool prints it.
std::pair<int, int> pointer(const testsupport::XServer& x) {
  std::istringstream words(x.run({"xdotool", "getmouselocation"}).output);
  std::string xs, ys;
  words >> xs >> ys;
  return {std::stoi(xs.substr(2)), std::stoi(ys.substr(2))};
}

// The frame of the window whose WM_CLASS is `instance.Class`, as `wmctrl -l -G -x` lists it.
std::optional<desktop::Rect> listedWindow(const testsupport::XServer& x,
                                          const std::string& wmClass) {
  std::istringstream lines(x.run({"wmctrl", "-l", "-G", "-x"}).output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string id, desk, listedClass;
    desktop::Rect r;
    words >> id >> desk >> r.x >> r.y >> r.width >> r.height >> listedClass;
    if (listedClass == wmClass) return r;
  }
  return std::nullopt;
}

bool within(const desktop::Rect& inner, const testsupport::Monitor& m) {
  return inner.x >= m.x && inner.y >= m.y && inner.x + inner.width <= m.x + m.width &&
         inner.y + inner.height <= m.y + m.height;
}

std::size_t keyframesAfter(const std::string& output, std::size_t from) {
  std::size_t count = 0;
  for (auto at = output.find(" key\n", from); at != std::string::npos;
       at = output.find(" key\n", at + 1))
    ++count;
  return count;
}

TEST(DisplayEndToEnd, ThePhonesPaneBecomesAStreamedMonitorThatInputAndWindowsReach) {
  RealSession s;
  s.onLoop([&] { s.session->reconnectGrace = 2s; });
  s.dial();

  // The pane brings displayReady and a monitor of the phone's size.
  auto from = s.outputSize();
  s.tell("pane 393 852 3");
  auto ready = s.receive("displayReady", from, 10s);
  ASSERT_TRUE(ready) << s.phone.output();
  const auto* r = ready->first.message.as<protocol::DisplayReady>();
  EXPECT_EQ(r->w, 589);
  EXPECT_EQ(r->h, 1278);
  EXPECT_EQ(r->scale, 2);
  EXPECT_EQ(r->fps, 60);
  const auto monitor = monitorNamed(s.x, RealSession::kDisplayName);
  ASSERT_TRUE(monitor);
  EXPECT_EQ(monitor->width, 1178);
  EXPECT_EQ(monitor->height, 2556);

  // Video arrives and decodes; it opens with a keyframe of the display's size.
  EXPECT_TRUE(s.phone.waitFor("frame video", 10s));
  EXPECT_TRUE(eventually([&] { return keyframesAfter(s.output(), from) > 0; }, 5s));
  const auto packets = testsupport::traceHeaders(s.videoFile);
  ASSERT_FALSE(packets.empty());
  EXPECT_TRUE(packets[0].key);
  EXPECT_EQ(testsupport::probe(s.videoFile, {"-show_entries", "stream=width,height"}),
            "1178,2556\n");
  EXPECT_NO_THROW(testsupport::runToEnd(
      {"ffmpeg", "-v", "error", "-xerror", "-i", s.videoFile, "-f", "null", "-"}));

  // A tap lands where it maps on the phone's monitor.
  s.tell("touch began 0.25 0.5");
  s.tell("touch ended 0.25 0.5");
  EXPECT_TRUE(eventually(
      [&] {
        const auto [px, py] = pointer(s.x);
        return std::abs(px - (monitor->x + 294)) <= 1 && std::abs(py - (monitor->y + 1278)) <= 1;
      },
      3s))
      << pointer(s.x).first << "," << pointer(s.x).second;

  // The touch armed the follower: an xterm opened on the main output comes onto the phone's
  // monitor, fitted.
  auto xterm =
      s.x.start({"xterm", "-class", "FollowMe", "-geometry", "60x20+0+0", "-e", "sleep", "600"});
  EXPECT_TRUE(eventually(
      [&] {
        auto w = listedWindow(s.x, "xterm.FollowMe");
        return w && within(*w, *monitor);
      },
      5s))
      << s.x.run({"wmctrl", "-l", "-G", "-x"}).output;
  // The window system's own view follows the server's events: wait for it to show the move too.
  desktop::Rect frame;
  EXPECT_TRUE(eventually(
      [&] {
        frame = s.onLoop([&] {
          for (const auto& w : s.windows->snapshot().windows)
            if (w.windowClass == "FollowMe") return w.frame();
          return desktop::Rect{};
        });
        return frame.width > 0 && within(frame, *monitor);
      },
      3s));
  const desktop::Rect shown{monitor->x, monitor->y, monitor->width, monitor->height};
  const auto fitted = fit(frame.width, frame.height, DisplayRect{shown, 2});
  ASSERT_TRUE(fitted);
  EXPECT_NEAR(frame.x, fitted->x, 2);
  EXPECT_NEAR(frame.y, fitted->y, 2);

  // The phone lost its decoder's state: a keyframe follows soon.
  from = s.outputSize();
  s.send(protocol::NeedKeyframe{});
  EXPECT_TRUE(eventually([&] { return keyframesAfter(s.output(), from) > 0; }, 1s))
      << s.phone.output().substr(from);

  // A pane without a display takes it away.
  from = s.outputSize();
  s.send(pane(protocol::Mode::deckOnly));
  EXPECT_TRUE(s.receive("displayGone", from, 5s));
  EXPECT_TRUE(eventually([&] { return !monitorNamed(s.x, RealSession::kDisplayName); }, 3s));

  // Backgrounded and back within the grace period: the display is there again unasked.
  from = s.outputSize();
  s.tell("pane 393 852 3");
  ASSERT_TRUE(s.receive("displayReady", from, 10s));
  s.tell("close backgrounded");
  EXPECT_TRUE(
      eventually([&] { return !s.onLoop([&] { return s.session->link().has_value(); }); }, 3s));
  from = s.outputSize();
  s.dial();
  ready = s.receive("displayReady", from, 5s);
  ASSERT_TRUE(ready) << s.phone.output().substr(from);
  EXPECT_EQ(ready->first.message.as<protocol::DisplayReady>()->w, 589);

  // Backgrounded for longer than the grace period: the monitor goes.
  s.tell("close backgrounded");
  EXPECT_TRUE(
      eventually([&] { return !s.onLoop([&] { return s.session->link().has_value(); }); }, 3s));
  EXPECT_TRUE(monitorNamed(s.x, RealSession::kDisplayName));
  EXPECT_TRUE(eventually([&] { return !monitorNamed(s.x, RealSession::kDisplayName); }, 5s));
  EXPECT_TRUE(eventually(
      [&] { return !s.onLoop([&] { return s.session->displayID.get().has_value(); }); }, 2s));
}

}  // namespace
}  // namespace brindlet::session::testing
