#include "session/WindowFollower.h"

#include <gtest/gtest.h>

#include "desktop/FakeWindowSystem.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryDefaults.h"
#include "support/Loop.h"

namespace brindlet::session {
namespace {

using namespace std::chrono_literals;
using desktop::Rect;
using desktop::WindowInfo;
using Call = desktop::FakeWindowSystem::Call;

constexpr std::int32_t kOwnPid = 4242;
constexpr const char* kMoved = "Moved a new window onto the phone's display";

TEST(WindowFit, KeepsTheTopFreeAndCentresWithinTheMargins) {
  const struct {
    const char* name;
    int width, height;
    DisplayRect target;
    std::optional<Rect> frame;
  } cases[] = {
      {"capped both ways", 2000, 1500, {{1512, 0, 1024, 768}}, Rect{1524, 36, 1000, 726}},
      {"smaller keeps its size", 400, 300, {{1512, 0, 1024, 768}}, Rect{1824, 249, 400, 300}},
      {"margins in points", 3000, 3000, {{0, 0, 1178, 2556}, 2}, Rect{24, 72, 1130, 2472}},
      {"barely room", 100, 100, {{0, 0, 25, 43}}, Rect{12, 36, 1, 1}},
      // No area left: the window stays where it is.
      {"42 points high", 100, 100, {{0, 0, 500, 42}}, std::nullopt},
      {"24 points wide", 100, 100, {{0, 0, 24, 500}}, std::nullopt},
      {"shorter than the top", 100, 100, {{0, 0, 500, 20}}, std::nullopt},
      {"42 points high at scale 2", 100, 100, {{0, 0, 500, 84}, 2}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(fit(c.width, c.height, c.target), c.frame) << c.name;
}

// A window of another app: decorated by the window manager, frame at (x, y) of size w × h.
WindowInfo window(desktop::WindowId id, Rect frame, std::vector<std::string> types = {"normal"},
                  bool fullScreen = false, std::int32_t pid = 100) {
  WindowInfo w;
  w.id = id;
  w.pid = pid;
  w.types = std::move(types);
  w.fullScreen = fullScreen;
  w.extents = {2, 2, 20, 2};
  w.geometry = {frame.x + 2, frame.y + 20, frame.width - 4, frame.height - 22};
  return w;
}

const Rect kElsewhere{0, 0, 2000, 1500};
const Rect kPhone{1512, 0, 1024, 768};
const Rect kFitted{1524, 36, 1000, 726};

// Something that happens while the follower watches: a window comes (or a known one comes back)
// to the front, or the phone's input arms the follower again.
struct Event {
  runtime::Duration at;
  std::optional<WindowInfo> focus = std::nullopt;
  bool rearm = false;
  std::optional<desktop::WindowId> refocus = std::nullopt;
};

class WindowFollowerTest : public ::testing::Test {
 protected:
  // A watch still running ends with its follower.
  void TearDown() override {
    owned.reset();
    testing::drain(loop.context());
  }

  void focus(const WindowInfo& w) {
    auto s = windows.snapshot();
    std::erase_if(s.windows, [&](const WindowInfo& o) { return o.id == w.id; });
    s.windows.push_back(w);
    s.active = w.id;
    windows.set(std::move(s));
  }

  // Arms at time 0 and plays the events; lets the clock run to `until`.
  void play(const std::vector<Event>& events, runtime::Duration until = 6s) {
    const auto start = clock->now();
    follower.arm(kPhone);
    for (const auto& e : events) {
      testing::runFor(loop, *clock, start + e.at - clock->now());
      if (e.focus) focus(*e.focus);
      if (e.refocus) focus(*windows.snapshot().find(*e.refocus));
      if (e.rearm) follower.arm(kPhone);
    }
    testing::runFor(loop, *clock, start + until - clock->now());
  }

  std::vector<Call> moves(std::vector<std::pair<desktop::WindowId, Rect>> list) {
    std::vector<Call> calls;
    for (auto& [id, frame] : list) calls.push_back({"moveResize", id, frame});
    return calls;
  }

  runtime::LogCapture logs;
  runtime::MainLoop loop;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  desktop::FakeWindowSystem windows;
  runtime::MemoryDefaults defaults;
  double scale = 1;
  std::unique_ptr<WindowFollower> owned = std::make_unique<WindowFollower>(WindowFollower::Options{
      loop.context().get_executor(), windows, clock, defaults, [this] { return scale; }, kOwnPid});
  WindowFollower& follower = *owned;
};

TEST_F(WindowFollowerTest, NewWindowsElsewhereMoveOnceEach) {
  const WindowInfo a = window(1, kElsewhere);
  const WindowInfo b = window(2, kElsewhere);
  const WindowInfo c = window(3, {100, 100, 400, 300});
  const Rect onPhone{1600, 100, 400, 300};
  const Rect tooWide{1000, 100, 1200, 300};  // centre at x 1600: on the phone
  const struct {
    const char* name;
    std::optional<WindowInfo> atArming;
    std::vector<Event> events;
    std::vector<std::pair<desktop::WindowId, Rect>> moved;
    double scale = 1;
  } cases[] = {
      {"focused at arming stays", a, {}, {}},
      {"margins in points", a, {{1s, b}}, {{2, {1536, 72, 976, 684}}}, 2},
      // No room below the top: the window stays where it is.
      {"a display too small", a, {{1s, b}}, {}, 20},
      {"new one elsewhere moves", a, {{1s, b}}, {{2, kFitted}}},
      {"new one with nothing focused at arming", std::nullopt, {{0s, b}}, {{2, kFitted}}},
      {"smaller one is centred", a, {{1s, c}}, {{3, {1824, 249, 400, 300}}}},
      {"two within the time, each once",
       a,
       {{1s, b}, {2s, c}, {3s, {}, false, 2}},
       {{2, kFitted}, {3, {1824, 249, 400, 300}}}},
      {"centre on the phone stays and is the baseline",
       a,
       {{1s, window(2, tooWide)}, {2s, window(2, kElsewhere)}},
       {}},
      {"on the phone already", a, {{1s, window(2, onPhone)}}, {}},
      {"full screen stays and is the baseline",
       a,
       {{1s, window(2, kElsewhere, {"normal"}, true)}, {2s, b}},
       {}},
      {"dialog moves", a, {{1s, window(2, kElsewhere, {"dialog"})}}, {{2, kFitted}}},
      {"no type moves", a, {{1s, window(2, kElsewhere, {})}}, {{2, kFitted}}},
      {"utility stays", a, {{1s, window(2, kElsewhere, {"utility", "normal"})}}, {}},
      {"dock stays", a, {{1s, window(2, kElsewhere, {"dock"})}}, {}},
      {"our own stays", a, {{1s, window(2, kElsewhere, {"normal"}, false, kOwnPid)}}, {}},
      // Looks come every 0.15 s: the last at 3.9 s.
      {"just before the end", a, {{3850ms, b}}, {{2, kFitted}}},
      {"after the last look", a, {{3950ms, b}}, {}},
      {"rearming extends with a fresh baseline",
       a,
       {{3s, b, true}, {6800ms, c}, {6950ms, window(4, kElsewhere)}},
       {{3, {1824, 249, 400, 300}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    windows.set(desktop::FakeWindowSystem().snapshot());
    if (c.atArming) focus(*c.atArming);
    const auto before = windows.calls().size();
    logs.sink().clear();
    scale = c.scale;

    play(c.events, 8s);

    const std::vector<Call> calls(windows.calls().begin() + static_cast<std::ptrdiff_t>(before),
                                  windows.calls().end());
    EXPECT_EQ(calls, moves(c.moved));
    EXPECT_EQ(logs.messages("windows", runtime::LogLevel::info),
              std::vector<std::string>(c.moved.size(), kMoved));
    // Watching has ended: nothing more is asked until the next arming.
    EXPECT_FALSE(follower.isWatching());
    EXPECT_EQ(clock->sleeperCount(), 0u);
  }
}

TEST_F(WindowFollowerTest, TheUsersChoiceIsKeptInTheDefaults) {
  EXPECT_TRUE(follower.isEnabled());
  defaults.setText("openWindowsOnPhone", "no");
  EXPECT_TRUE(follower.isEnabled());  // not a boolean: as if absent
  follower.setEnabled(false);
  EXPECT_EQ(defaults.boolean("openWindowsOnPhone"), false);

  focus(window(1, kElsewhere));
  follower.arm(kPhone);
  EXPECT_EQ(follower.target(), std::nullopt);
  EXPECT_EQ(follower.baseline(), std::nullopt);
  EXPECT_FALSE(follower.isWatching());

  // Switching off leaves a running watch to its end.
  follower.setEnabled(true);
  follower.arm(kPhone);
  follower.setEnabled(false);
  play({{1s, window(2, kElsewhere)}});
  EXPECT_EQ(windows.calls(), moves({{2, kFitted}}));
}

TEST_F(WindowFollowerTest, AWindowGoneWhileMovingIsNotReportedAsMoved) {
  follower.arm(kPhone);
  windows.failNext(desktop::DesktopError::noSuchWindow(2));
  focus(window(2, kElsewhere));
  testing::runFor(loop, *clock, 1s);
  EXPECT_TRUE(logs.messages("windows", runtime::LogLevel::info).empty());
  focus(window(3, kElsewhere));
  testing::runFor(loop, *clock, 1s);
  EXPECT_EQ(logs.messages("windows", runtime::LogLevel::info), std::vector<std::string>{kMoved});
  EXPECT_EQ(windows.calls(), moves({{2, kFitted}, {3, kFitted}}));
}

TEST_F(WindowFollowerTest, AFollowerGoneWhileWatchingEndsItsWatch) {
  follower.arm(kPhone);
  testing::runFor(loop, *clock, 1s);
  owned.reset();
  focus(window(2, kElsewhere));
  testing::runFor(loop, *clock, 1s);
  EXPECT_TRUE(windows.calls().empty());
  EXPECT_EQ(clock->sleeperCount(), 0u);
}

}  // namespace
}  // namespace brindlet::session
