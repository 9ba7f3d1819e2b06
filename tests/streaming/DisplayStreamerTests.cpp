#include "streaming/DisplayStreamer.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/Task.h"
#include "streaming/FakeCaptureBackend.h"
#include "streaming/FakeVideoEncoder.h"
#include "streaming/FakeVideoSink.h"
#include "support/Loop.h"

namespace brindlet::streaming {
namespace {

using Lines = std::vector<std::string>;
using testing::runUntilDone;

// A streamer on the fake encoder, sink and capture source, its loop and the encoder's output on
// the test thread.
struct StreamerHarness {
  boost::asio::io_context loop;
  runtime::LogCapture log;
  std::shared_ptr<FakeVideoEncoder::Script> script = std::make_shared<FakeVideoEncoder::Script>();
  std::shared_ptr<FakeCaptureBackend> backend =
      std::make_shared<FakeCaptureBackend>(loop.get_executor());
  std::shared_ptr<FakeVideoSink> sink = std::make_shared<FakeVideoSink>();
  std::unique_ptr<DisplayStreamer> streamer;
  std::vector<StreamError> stops;

  // The quality of every encoder opened, in order.
  std::shared_ptr<std::vector<VideoQuality>> opened = std::make_shared<std::vector<VideoQuality>>();

  StreamerHarness() {
    script->outputs = loop.get_executor();
    // Encoders open on the blocking worker, one at a time, and the test reads the list only once
    // the loop has drained.
    auto fake = FakeVideoEncoder::factory(script);
    auto recorded = [fake, opened = opened](const EncoderSettings& settings,
                                            VideoEncoding::Output output) {
      opened->push_back(settings.quality);
      return fake(settings, std::move(output));
    };
    streamer = DisplayStreamer::make(std::move(recorded), backend);
    streamer->onStopped([this](const StreamError& error) { stops.push_back(error); });
  }
  std::optional<StreamError> start(std::uint32_t display = 1, std::int32_t width = 1178) {
    std::optional<StreamError> thrown;
    runUntilDone(loop, startInto(thrown, display, width));
    return thrown;
  }
  boost::asio::awaitable<void> startInto(std::optional<StreamError>& thrown,
                                         std::uint32_t display = 1, std::int32_t width = 1178) {
    const EncoderSettings settings{protocol::Codec::h264, width, 2556};
    try {
      co_await streamer->start(settings, sink, display);
    } catch (const StreamError& error) {
      thrown = error;
    }
  }
  void stop() { runUntilDone(loop, streamer->stop()); }
  // A complete frame from the newest capture stream, its output run and sent.
  void frame(int value) {
    ASSERT_TRUE(backend->deliver(
        backend->streams(), {FakeCaptureBackend::picture(), {value, 60}, FrameStatus::complete}));
    testing::drain(loop);
    sink->drain();
  }
  Lines errors(const char* category) { return log.messages(category, runtime::LogLevel::error); }
};

TEST(DisplayStreamer, StartingTwiceLeavesTheSecondStream) {
  StreamerHarness h;
  ASSERT_FALSE(h.start());
  const auto first = h.streamer->pipeline();
  h.frame(1);
  ASSERT_FALSE(h.start());
  EXPECT_NE(h.streamer->pipeline(), first);
  EXPECT_FALSE(h.backend->isRunning(1));
  EXPECT_TRUE(h.backend->isRunning(2));
  h.frame(2);
  // Each pipeline forced its own first frame to a keyframe.
  EXPECT_EQ(h.script->requests(),
            (std::vector<FakeVideoEncoder::Request>{{{1, 60}, true}, {{2, 60}, true}}));
  EXPECT_EQ(first->stats().encoded, 1);
  EXPECT_EQ(h.streamer->pipeline()->stats().encoded, 1);
  h.stop();
  EXPECT_FALSE(h.streamer->pipeline());
  EXPECT_FALSE(h.streamer->capture());
  EXPECT_FALSE(h.backend->isRunning(2));
}

TEST(DisplayStreamer, FailedStartsLeaveItIdle) {
  struct Row {
    const char* name;
    std::uint32_t display;
    std::int32_t width;
    std::optional<EncoderError> creation;
    StreamError thrown;
    Lines calls;
  };
  const Row rows[] = {
      {"unknown display",
       7,
       1178,
       {},
       StreamError::capture(CaptureError::displayNotFound(7)),
       {"content"}},
      {"no encoder",
       1,
       1178,
       EncoderError::sessionCreation(-12902),
       StreamError::encoder(EncoderError::sessionCreation(-12902)),
       {}},
      {"width beyond a screen",
       1,
       40000,
       {},
       StreamError::capture(CaptureError::streamFailed("capture size out of range")),
       {"content"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StreamerHarness h;
    h.script->creationError = row.creation;
    EXPECT_EQ(h.start(row.display, row.width), row.thrown);
    EXPECT_FALSE(h.streamer->pipeline());
    EXPECT_FALSE(h.streamer->capture());
    h.stop();  // nothing to stop
    EXPECT_EQ(h.backend->calls(), row.calls);
  }
}

TEST(DisplayStreamer, AQualityChangeSwapsInANewEncoderOnlyOnceItIsOpen) {
  StreamerHarness h;
  // No stream: nothing happens, nothing is logged.
  h.streamer->setQuality(VideoQuality::fast);
  testing::drain(h.loop);
  EXPECT_TRUE(h.log.sink().entries().empty());
  EXPECT_TRUE(h.backend->calls().empty());
  EXPECT_FALSE(h.streamer->quality());

  ASSERT_FALSE(h.start());
  const auto first = h.streamer->pipeline();
  h.frame(1);
  h.streamer->setQuality(VideoQuality::best);
  testing::drain(h.loop);
  const auto second = h.streamer->pipeline();
  EXPECT_NE(second, first);
  EXPECT_EQ(h.streamer->quality(), VideoQuality::best);
  EXPECT_EQ(h.log.messages("capture", runtime::LogLevel::info).back(), "Encoder quality now best");
  // Capture is asked for a picture, which the new encoder makes a keyframe.
  EXPECT_EQ(h.backend->calls().back(), "frame 1");
  h.frame(2);
  EXPECT_EQ(h.script->requests(),
            (std::vector<FakeVideoEncoder::Request>{{{1, 60}, true}, {{2, 60}, true}}));
  EXPECT_EQ(first->stats().encoded, 1);

  // The encoder cannot open at the next quality: the stream goes on as it was, and its owner
  // hears which quality it kept.
  std::vector<VideoQuality> kept;
  h.streamer->onQualityRefused([&](VideoQuality quality) { kept.push_back(quality); });
  h.script->creationError = EncoderError::sessionCreation(-12902);
  h.streamer->setQuality(VideoQuality::fast);
  testing::drain(h.loop);
  EXPECT_EQ(kept, std::vector{VideoQuality::best});
  h.frame(3);
  EXPECT_EQ(h.errors("session"), Lines{"Quality change failed: sessionCreation(-12902)"});
  EXPECT_EQ(h.streamer->pipeline(), second);
  EXPECT_EQ(h.streamer->quality(), VideoQuality::best);
  EXPECT_EQ(second->stats().encoded, 2);
  EXPECT_EQ(h.sink->frames().size(), 3u);
  EXPECT_EQ(*h.opened,
            (std::vector{VideoQuality::balanced, VideoQuality::best, VideoQuality::fast}));
  EXPECT_TRUE(h.script->qualities().empty());
}

TEST(DisplayStreamer, QualityChangesInFlightYieldToTheLastAndToAStop) {
  struct Row {
    const char* name;
    bool stop;
    std::vector<VideoQuality> opened;
    std::optional<VideoQuality> quality;
  };
  const Row rows[] = {
      {"two changes",
       false,
       {VideoQuality::balanced, VideoQuality::fast, VideoQuality::best},
       VideoQuality::best},
      {"a stop", true, {VideoQuality::balanced, VideoQuality::fast}, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StreamerHarness h;
    ASSERT_FALSE(h.start());
    h.streamer->setQuality(VideoQuality::fast);
    // The change's encoder is opening.
    h.loop.restart();
    h.loop.poll();
    if (row.stop) {
      h.stop();
    } else {
      h.streamer->setQuality(VideoQuality::balanced);
      h.streamer->setQuality(VideoQuality::best);
    }
    testing::drain(h.loop);
    EXPECT_EQ(*h.opened, row.opened);
    EXPECT_EQ(h.streamer->quality(), row.quality);
    EXPECT_EQ(bool(h.streamer->pipeline()), !row.stop);
    EXPECT_EQ(h.backend->isRunning(1), !row.stop);
    EXPECT_TRUE(h.errors("session").empty());
  }
}

TEST(DisplayStreamer, ACaptureTheSystemStopsIsReportedAndKeptUntilStop) {
  StreamerHarness h;
  ASSERT_FALSE(h.start());
  h.backend->stopBySystem(1, "display switched off");
  EXPECT_TRUE(h.stops.empty());
  testing::drain(h.loop);
  EXPECT_EQ(
      h.stops,
      (std::vector{StreamError::capture(CaptureError::streamFailed("display switched off"))}));
  EXPECT_TRUE(h.streamer->pipeline());
  EXPECT_TRUE(h.streamer->capture());
  h.stop();
  EXPECT_FALSE(h.streamer->pipeline());

  // A late notice of a stream the owner has replaced is not passed on.
  ASSERT_FALSE(h.start());
  ASSERT_FALSE(h.start());
  h.backend->stopBySystem(2, "display switched off");
  testing::drain(h.loop);
  EXPECT_EQ(h.stops.size(), 1u);
}

TEST(DisplayStreamer, AStopWhileStartingLeavesNothingRunning) {
  StreamerHarness h;
  auto gate = h.backend->startGate = runtime::OneShot<std::monostate>::make();
  std::optional<StreamError> thrown;
  auto starting = runtime::spawn(h.loop.get_executor(), h.startInto(thrown));
  testing::drain(h.loop);
  h.stop();
  gate->resume({});
  testing::drain(h.loop);
  ASSERT_TRUE(starting.isFinished());
  EXPECT_EQ(thrown,
            StreamError::capture(CaptureError::streamFailed("stream stopped while starting")));
  EXPECT_FALSE(h.backend->isRunning(1));
  EXPECT_FALSE(h.streamer->pipeline());
  EXPECT_FALSE(h.streamer->capture());
}

TEST(DisplayStreamer, AKeyframeRequestAsksCaptureForAPicture) {
  StreamerHarness h;
  ASSERT_FALSE(h.start());
  h.frame(1);
  h.frame(2);
  h.streamer->pipeline()->requestKeyframe();
  EXPECT_EQ(h.backend->calls().back(), "frame 1");
  h.frame(3);
  EXPECT_EQ(h.script->requests(), (std::vector<FakeVideoEncoder::Request>{
                                      {{1, 60}, true}, {{2, 60}, false}, {{3, 60}, true}}));
  // Once stopped, a request reaches no capture.
  const auto pipeline = h.streamer->pipeline();
  h.stop();
  pipeline->requestKeyframe();
  EXPECT_EQ(h.backend->calls().back(), "stop 1");
}

}  // namespace
}  // namespace brindlet::streaming
