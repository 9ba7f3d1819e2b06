#include "streaming/ScreenCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "streaming/FakeCaptureBackend.h"
#include "support/Loop.h"

namespace brindlet::streaming {
namespace {

using Lines = std::vector<std::string>;
using testing::runUntilDone;

struct CaptureHarness {
  boost::asio::io_context loop;
  runtime::LogCapture log;
  std::shared_ptr<FakeCaptureBackend> backend =
      std::make_shared<FakeCaptureBackend>(loop.get_executor());
  std::vector<protocol::MediaTime> frames;
  std::vector<CaptureError> stops;
  ScreenCapture capture{
      backend, [this](SharedPixelBuffer, protocol::MediaTime time) { frames.push_back(time); }};

  CaptureHarness() {
    capture.onStopped([this](const CaptureError& error) { stops.push_back(error); });
  }
  // The error start threw, if any.
  std::optional<CaptureError> start(CaptureTarget target, double width = 1178,
                                    double height = 2556) {
    try {
      runUntilDone(loop, capture.start(target, width, height));
      return std::nullopt;
    } catch (const CaptureError& error) {
      return error;
    }
  }
  void stop() { runUntilDone(loop, capture.stop()); }
  Lines lines(runtime::LogLevel level) { return log.messages("capture", level); }
};

TEST(ScreenCapture, OnlyCompleteFramesWithAPicturePass) {
  struct Row {
    std::optional<FrameStatus> status;
    bool hasPicture;
    bool passes;
  };
  const Row rows[] = {
      {FrameStatus::complete, true, true},   {FrameStatus::complete, false, false},
      {FrameStatus::idle, true, false},      {FrameStatus::blank, true, false},
      {FrameStatus::suspended, true, false}, {FrameStatus::started, true, false},
      {FrameStatus::stopped, true, false},   {std::nullopt, true, false},
  };
  CaptureHarness h;
  ASSERT_FALSE(h.start(CaptureTarget::display(1)));
  int value = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(value);
    const protocol::MediaTime time{++value, 60};
    h.frames.clear();
    ASSERT_TRUE(h.backend->deliver(
        1, {row.hasPicture ? FakeCaptureBackend::picture() : nullptr, time, row.status}));
    EXPECT_EQ(h.frames, row.passes ? std::vector{time} : std::vector<protocol::MediaTime>{});
  }
}

TEST(ScreenCapture, StartFailuresLeaveNothingRunning) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* name;
    CaptureTarget target;
    double width, height;
    std::optional<CaptureError> contentFailure, startFailure;
    CaptureError thrown;
    Lines errors;
    bool asksToStart;
  };
  const auto outOfRange = CaptureError::streamFailed("capture size out of range");
  const Lines outOfRangeLine{"capture start failed: capture size out of range"};
  const Row rows[] = {
      {"unknown display",
       CaptureTarget::display(7),
       1178,
       2556,
       {},
       {},
       CaptureError::displayNotFound(7),
       {},
       false},
      {"unknown window",
       CaptureTarget::window(1),
       1178,
       2556,
       {},
       {},
       CaptureError::windowNotFound(1),
       {},
       false},
      {"content unreadable",
       CaptureTarget::display(1),
       1178,
       2556,
       CaptureError::notPermitted("no X display"),
       {},
       CaptureError::notPermitted("no X display"),
       {"shareable content failed: no X display"},
       false},
      {"stream refused",
       CaptureTarget::display(1),
       1178,
       2556,
       {},
       CaptureError::streamFailed("no shared memory"),
       CaptureError::streamFailed("no shared memory"),
       {"capture start failed: no shared memory"},
       true},
      {"NaN width",
       CaptureTarget::display(1),
       nan,
       2556,
       {},
       {},
       outOfRange,
       outOfRangeLine,
       false},
      {"infinite height",
       CaptureTarget::display(1),
       1178,
       inf,
       {},
       {},
       outOfRange,
       outOfRangeLine,
       false},
      {"zero width", CaptureTarget::display(1), 0, 2556, {}, {}, outOfRange, outOfRangeLine, false},
      {"negative height",
       CaptureTarget::display(1),
       1178,
       -2,
       {},
       {},
       outOfRange,
       outOfRangeLine,
       false},
      {"too wide",
       CaptureTarget::display(1),
       32768,
       2556,
       {},
       {},
       outOfRange,
       outOfRangeLine,
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureHarness h;
    h.backend->contentFailure = row.contentFailure;
    h.backend->startFailure = row.startFailure;
    EXPECT_EQ(h.start(row.target, row.width, row.height), row.thrown);
    EXPECT_FALSE(h.capture.isRunning());
    EXPECT_EQ(h.lines(runtime::LogLevel::error), row.errors);
    EXPECT_EQ(h.backend->calls().size(), row.asksToStart ? 2u : 1u);
    EXPECT_TRUE(h.lines(runtime::LogLevel::info).empty());
    // A stop afterwards finds nothing to stop.
    h.stop();
    EXPECT_EQ(h.backend->calls().size(), row.asksToStart ? 2u : 1u);
  }
}

TEST(ScreenCapture, StartsStopsAndRestarts) {
  CaptureHarness h;
  ASSERT_FALSE(h.start(CaptureTarget::display(1), 1178.9, 32767));
  EXPECT_TRUE(h.capture.isRunning());
  EXPECT_EQ(h.lines(runtime::LogLevel::info), (Lines{"Capturing display(1) at 1178×32767"}));
  h.capture.requestFrame();

  // Starting again stops the running stream first.
  ASSERT_FALSE(h.start(CaptureTarget::display(1)));
  EXPECT_FALSE(h.backend->isRunning(1));
  EXPECT_TRUE(h.backend->isRunning(2));

  // Stopping twice is harmless; a refused stop is logged and still stops.
  h.backend->stopFailure = CaptureError::streamFailed("BadDrawable");
  ASSERT_FALSE(h.start(CaptureTarget::display(1)));
  h.stop();
  h.stop();
  h.capture.requestFrame();  // nothing runs: nobody is asked
  EXPECT_EQ(h.backend->calls(), (Lines{"content", "start display(1) 1178x32767", "frame 1",
                                       "stop 1", "content", "start display(1) 1178x2556", "stop 2",
                                       "content", "start display(1) 1178x2556", "stop 3"}));
  EXPECT_EQ(h.lines(runtime::LogLevel::error), (Lines{"capture stop failed: BadDrawable"}));
  EXPECT_FALSE(h.capture.isRunning());
  EXPECT_TRUE(h.stops.empty());
}

TEST(ScreenCapture, SystemStopsAreLoggedAndReportedForTheRunningStreamOnly) {
  CaptureHarness h;
  ASSERT_FALSE(h.start(CaptureTarget::display(1)));
  ASSERT_FALSE(h.start(CaptureTarget::display(1)));
  // The older stream's notice comes late: the newer stream runs on.
  h.backend->stopBySystem(1, "display switched off");
  testing::drain(h.loop);
  EXPECT_TRUE(h.capture.isRunning());
  EXPECT_TRUE(h.stops.empty());

  h.backend->stopBySystem(2, "lost the X connection");
  EXPECT_TRUE(h.stops.empty());  // told on the loop, not from the capture side
  testing::drain(h.loop);
  EXPECT_FALSE(h.capture.isRunning());
  EXPECT_EQ(h.stops, (std::vector{CaptureError::streamFailed("lost the X connection")}));
  EXPECT_EQ(h.lines(runtime::LogLevel::error), (Lines{"capture stopped: display switched off",
                                                      "capture stopped: lost the X connection"}));
  // Nothing left to stop.
  h.stop();
  EXPECT_EQ(h.backend->calls().back(), "start display(1) 1178x2556");
}

}  // namespace
}  // namespace brindlet::streaming
