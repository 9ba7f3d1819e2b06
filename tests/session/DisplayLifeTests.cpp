// What the session does when its display or its stream changes under it: the display manager
// makes the display again after a wake, or loses it; capture ends on its own; a display shows on
// no monitor.

#include <gtest/gtest.h>

#include "session/SessionHarness.h"

namespace brindlet::session::testing {
namespace {

using runtime::LogLevel;

const auto kStopped =
    streaming::StreamError::capture(streaming::CaptureError::streamFailed("gone"));

// Phone A with a streaming display #1; traces start empty.
void streamingOn(SessionHarness& h) {
  h.play("link A; pane A 393 852 3 monitor");
  ASSERT_TRUE(h.session->hasStream.get());
  h.phones.clear();
  h.calls.clear();
}

class DisplayLife : public ::testing::Test {
 protected:
  void streaming() { streamingOn(h); }
  SessionHarness h;
};

TEST(DisplayReplaced, TheSessionTakesTheIdRestartsTheStreamAndSendsDisplayReady) {
  struct Case {
    std::string name;
    std::uint32_t replacement;
  };
  for (const Case& c : {Case{"a new id", 7}, Case{"the same id", 1}}) {
    SCOPED_TRACE(c.name);
    SessionHarness h;
    streamingOn(h);
    const int refreshes = h.monitors->refreshes;
    h.displays->replace(c.replacement);
    h.settle();
    const std::string id = std::to_string(c.replacement);
    EXPECT_EQ(h.calls, (Trace{"stop", "start 1178x2556 h264 balanced on " + id}));
    EXPECT_EQ(h.phones, Trace{"A: displayReady 589x1278@2 h264 #" + id + " 60fps"});
    EXPECT_EQ(h.session->displayID.get(), c.replacement);
    EXPECT_TRUE(h.session->hasStream.get());
    EXPECT_EQ(h.monitors->refreshes, refreshes + 1);
  }
}

TEST_F(DisplayLife, AReplacementDuringGraceWaitsForThePhone) {
  streaming();
  h.play("drop A");
  h.calls.clear();
  h.displays->replace(5);
  h.settle();
  EXPECT_EQ(h.session->displayID.get(), 5u);
  EXPECT_TRUE(h.calls.empty());
  h.play("link A");
  EXPECT_EQ(h.phones.back(), "A: displayReady 589x1278@2 h264 #5 60fps");
  EXPECT_EQ(h.calls.back(), "start 1178x2556 h264 balanced on 5");
}

TEST_F(DisplayLife, ALostDisplayIsReleasedAndThePhoneTold) {
  streaming();
  h.displays->replace(std::nullopt);
  h.settle();
  EXPECT_EQ(h.calls, (Trace{"stop", "detach"}));
  EXPECT_EQ(h.phones, Trace{"A: displayGone"});
  EXPECT_EQ(h.session->displayID.get(), std::nullopt);
  EXPECT_EQ(h.session->config(), std::nullopt);
  EXPECT_FALSE(h.session->hasStream.get());
  EXPECT_EQ(h.log.messages("session", LogLevel::error),
            std::vector<std::string>{"Display 1 is gone and was not made again"});
}

TEST_F(DisplayLife, AReportForAnotherDisplayIsIgnored) {
  streaming();
  h.displays->replaced(9, 10);
  h.settle();
  EXPECT_TRUE(h.calls.empty());
  EXPECT_TRUE(h.phones.empty());
  EXPECT_EQ(h.session->displayID.get(), 1u);
}

TEST_F(DisplayLife, AStreamThatStopsOnItsOwnIsRestartedOnceThenLeft) {
  streaming();
  const std::string error = "Stream: " + kStopped.text();
  h.streamer->stopOnItsOwn(kStopped);
  h.settle();
  EXPECT_EQ(h.calls, (Trace{"stop", "start 1178x2556 h264 balanced on 1"}));
  EXPECT_TRUE(h.session->hasStream.get());
  EXPECT_EQ(h.session->lastError.get(), error);
  EXPECT_TRUE(h.phones.empty());

  h.calls.clear();
  h.streamer->stopOnItsOwn(kStopped);
  h.settle();
  EXPECT_TRUE(h.calls.empty());
  EXPECT_FALSE(h.session->hasStream.get());
  EXPECT_EQ(h.log.messages("session", LogLevel::error),
            std::vector<std::string>(2, "Stream stopped: " + kStopped.text()));

  // A new pane starts the display's stream afresh, with its own restart.
  h.play("pane A 393 852 3 monitor");
  h.calls.clear();
  h.streamer->stopOnItsOwn(kStopped);
  h.settle();
  EXPECT_EQ(h.calls, (Trace{"stop", "start 1178x2556 h264 balanced on 1"}));
}

TEST_F(DisplayLife, ARestartThatFailsLeavesNoStream) {
  streaming();
  h.streamer->failNext = kStopped;
  h.streamer->stopOnItsOwn(kStopped);
  h.settle();
  EXPECT_FALSE(h.session->hasStream.get());
  EXPECT_EQ(h.log.messages("session", LogLevel::error),
            (std::vector<std::string>{"Stream stopped: " + kStopped.text(),
                                      "Stream failed: " + kStopped.text()}));
}

TEST_F(DisplayLife, AStopReportedWithoutAStreamChangesNothing) {
  h.play("link A");
  h.streamer->stopOnItsOwn(kStopped);
  h.settle();
  EXPECT_EQ(h.session->lastError.get(), std::nullopt);
  EXPECT_TRUE(h.calls.empty());
}

// The phone went while its stream started: the start fails because the session stopped it, and
// that is no error to show.
TEST_F(DisplayLife, AStartFailingAfterTheSessionsOwnStopIsNoError) {
  h.play("link A");
  h.streamer->holdNext = true;
  h.play("pane A 393 852 3 monitor");
  h.play("drop A");
  h.streamer->failNext = kStopped;
  h.streamer->held->resume(std::monostate{});
  h.settle();
  EXPECT_EQ(h.session->lastError.get(), std::nullopt);
  EXPECT_TRUE(h.log.messages("session", LogLevel::error).empty());
  EXPECT_FALSE(h.session->hasStream.get());
}

// Input and the Dock push act only where a monitor shows the display, with its scale.
TEST_F(DisplayLife, BoundsComeFromTheMonitorWithTheDisplaysScale) {
  streaming();
  const desktop::Rect moved{3000, 40, 1178, 2556};
  h.monitors->monitors[1] = moved;
  h.play("touch A ended");
  EXPECT_EQ(h.input->lastRect, (DisplayRect{moved, 2}));
  EXPECT_EQ(h.follower->armed, std::vector{moved});

  h.monitors->monitors.erase(1);
  h.input->handled.clear();
  h.play("touch A ended");
  h.send(h.phone("A"),
         protocol::DeckAction{"system", "showDock", protocol::DeckActionPhase::press, {}});
  EXPECT_TRUE(h.input->handled.empty());
  EXPECT_EQ(h.follower->armed.size(), 1u);
  EXPECT_TRUE(h.input->pushes.empty());
  EXPECT_EQ(h.log.messages("input", LogLevel::info).back(), "Dropped touch: no display");
}

}  // namespace
}  // namespace brindlet::session::testing
