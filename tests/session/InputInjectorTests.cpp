#include "session/InputInjector.h"

#include <gtest/gtest.h>

#include "desktop/RecordingPoster.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryDefaults.h"
#include "runtime/Task.h"
#include "session/DockPush.h"
#include "session/InputError.h"
#include "support/Loop.h"

namespace brindlet::session {
namespace {

using namespace std::chrono_literals;
using desktop::ButtonEvent;
using desktop::PointerMotion;
using desktop::SyntheticEvent;
using desktop::WheelClicks;
using protocol::ScrollPhase;
using protocol::TouchPhase;

protocol::Touch touch(TouchPhase phase, double x = 0.5, double y = 0.5) {
  return {phase, x, y, protocol::MouseButton::left, {}, {}};
}
protocol::Scroll scroll(double dy, double dx, ScrollPhase phase = ScrollPhase::changed,
                        bool momentum = false) {
  return {dx, dy, phase, momentum};
}

class InputInjectorTest : public ::testing::Test {
 protected:
  InputOutcome handle(const protocol::ControlMessage& message) {
    return injector.handle(message, display);
  }
  std::vector<SyntheticEvent> take() { return std::exchange(poster.posted, {}); }

  runtime::LogCapture logs;
  runtime::MainLoop loop;
  desktop::RecordingPoster poster;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  runtime::MemoryDefaults defaults;
  InputInjector injector{{poster, clock, defaults}};
  DisplayRect display{{100, 50, 1000, 500}};
};

TEST_F(InputInjectorTest, MissingAccessIsReportedOnceUntilInputPassesAgain) {
  const struct {
    bool trusted;
    InputOutcome outcome;
    std::size_t logged;  // lines so far
  } steps[] = {
      {false, InputOutcome::noAccess, 1},      {false, InputOutcome::stillNoAccess, 1},
      {true, InputOutcome::posted, 1},         {false, InputOutcome::noAccess, 2},
      {false, InputOutcome::stillNoAccess, 2},
  };
  for (const auto& step : steps) {
    poster.trusted = step.trusted;
    EXPECT_EQ(handle(protocol::Key{0, true, {}}), step.outcome);
    EXPECT_EQ(logs.messages("input", runtime::LogLevel::error),
              std::vector<std::string>(step.logged,
                                       "No XTest access; input is dropped until it is granted"));
  }
  EXPECT_EQ(take().size(), 1u);
}

TEST_F(InputInjectorTest, PixelScrollsBecomeWheelClicksAtTheScrollsLocation) {
  const PointerMotion centre{600, 300};
  const struct {
    protocol::Scroll scroll;
    std::vector<SyntheticEvent> posted;
  } steps[] = {
      {scroll(10, 0, ScrollPhase::began), {}},
      {scroll(10, -16), {centre, WheelClicks{1, -1}}},  // 20 and -16: 5 and -1 kept
      {scroll(10, 0), {centre, WheelClicks{1, 0}}},     // 15
      {scroll(-29.5, 0, ScrollPhase::began, true), {centre, WheelClicks{-2, 0}}},  // -30
      {scroll(14, 14, ScrollPhase::began), {}},  // a new gesture forgets the rest
      {scroll(1, 1, ScrollPhase::ended), {centre, WheelClicks{1, 1}}},
      {scroll(1e12, -1e12), {centre, WheelClicks{100, -100}}},
  };
  for (const auto& step : steps) {
    handle(step.scroll);
    EXPECT_EQ(take(), step.posted) << step.scroll.dy;
  }
}

// Runs a Dock push as the session does, in a task of its own on the loop.
class DockPushTest : public InputInjectorTest {
 protected:
  runtime::TaskHandle push(DisplayRect rect) {
    return runtime::spawn(loop.context().get_executor(), injector.pushDock(rect),
                          [this](std::exception_ptr e) { failure = e; });
  }
  std::exception_ptr failure;
};

TEST_F(DockPushTest, StepsRunFromInsideToTheEdgeAtEveryScale) {
  const struct {
    std::optional<std::string> setting;
    int scale;
    PushStep first, last;
  } cases[] = {
      {"left", 1, {{1979, 410}, {-6, 0}}, {{1920, 410}, {-12, 0}}},
      {"right", 1, {{3040, 410}, {6, 0}}, {{3099, 410}, {12, 0}}},
      {"bottom", 1, {{2510, 760}, {0, 6}}, {{2510, 819}, {0, 12}}},
      {std::nullopt, 1, {{2510, 760}, {0, 6}}, {{2510, 819}, {0, 12}}},
      {"top", 1, {{2510, 760}, {0, 6}}, {{2510, 819}, {0, 12}}},
      {"bottom", 2, {{5020, 1521}, {0, 12}}, {{5020, 1639}, {0, 24}}},
  };
  for (const auto& c : cases) {
    runtime::MemoryDefaults settings;
    if (c.setting) settings.setText("dockEdge", *c.setting);
    const int s = c.scale;
    const DisplayRect r{{1920 * s, 0, 1180 * s, 820 * s}, static_cast<double>(s)};
    const auto steps = pushSteps(dockEdge(settings), r);
    ASSERT_EQ(steps.size(), 70u);
    EXPECT_EQ(steps.front(), c.first) << c.setting.value_or("none") << c.scale;
    EXPECT_EQ(steps[9].point.x - steps[8].point.x, c.first.delta.x);
    EXPECT_EQ(steps[9].point.y - steps[8].point.y, c.first.delta.y);
    EXPECT_EQ(steps[9].delta, c.first.delta);
    for (std::size_t i = 10; i < 70; ++i) EXPECT_EQ(steps[i], c.last);
  }
  runtime::MemoryDefaults left;
  left.setText("dockEdge", "left");
  EXPECT_EQ(pushSteps(dockEdge(left), {{1920, 0, 1180, 820}})[9].point, (Point{1925, 410}));
}

TEST_F(DockPushTest, APushMovesEvery16MillisecondsAndDropsOnlyTouchesMeanwhile) {
  defaults.setText("dockEdge", "left");
  const DisplayRect r{{1920, 0, 1180, 820}};
  push(r);
  testing::drain(loop.context());
  EXPECT_TRUE(injector.pushingDock());
  EXPECT_EQ(take(), (std::vector<SyntheticEvent>{PointerMotion{1979, 410}}));

  // Meanwhile: touches are dropped without fault, keys pass, and a second press is ignored.
  EXPECT_EQ(injector.handle(touch(TouchPhase::began), r), InputOutcome::posted);
  EXPECT_EQ(injector.handle(protocol::Key{3, true, {}}, r), InputOutcome::posted);
  push(r);
  testing::drain(loop.context());
  EXPECT_EQ(take(), (std::vector<SyntheticEvent>{desktop::KeyEvent{3, true, {}}}));

  testing::runFor(loop, *clock, 15ms);
  EXPECT_TRUE(take().empty());
  testing::runFor(loop, *clock, 1ms);
  EXPECT_EQ(take(), (std::vector<SyntheticEvent>{PointerMotion{1973, 410}}));
  testing::runFor(loop, *clock, 68 * 16ms);
  EXPECT_EQ(take().size(), 68u);
  EXPECT_TRUE(injector.pushingDock());
  testing::runFor(loop, *clock, 16ms);
  EXPECT_FALSE(injector.pushingDock());
  EXPECT_EQ(
      logs.messages("input", runtime::LogLevel::info),
      std::vector<std::string>{"Pushed the pointer into the left edge to bring the Dock over"});

  // The pointer rests on the edge: a scroll happens there, and touches pass again.
  injector.handle(scroll(15, 0), r);
  injector.handle(touch(TouchPhase::began), r);
  EXPECT_EQ(take(), (std::vector<SyntheticEvent>{
                        PointerMotion{1920, 410}, WheelClicks{1, 0},
                        ButtonEvent{desktop::MouseButton::left, true, 2510, 410}}));
  EXPECT_EQ(failure, nullptr);
}

TEST_F(DockPushTest, WithoutAccessNothingMovesAndACancelledPushStillEnds) {
  poster.trusted = false;
  push(display);
  testing::drain(loop.context());
  ASSERT_NE(failure, nullptr);
  EXPECT_THROW(std::rethrow_exception(failure), InputError);
  EXPECT_FALSE(injector.pushingDock());

  poster.trusted = true;
  failure = nullptr;
  const auto task = push(display);
  testing::drain(loop.context());
  task.cancel();
  testing::drain(loop.context());
  EXPECT_FALSE(injector.pushingDock());
  EXPECT_EQ(take().size(), 70u);
}

}  // namespace
}  // namespace brindlet::session
