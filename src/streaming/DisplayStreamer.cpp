#include "streaming/DisplayStreamer.h"

#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/this_coro.hpp>

#include "runtime/Blocking.h"
#include "runtime/Log.h"
#include "runtime/Task.h"

namespace brindlet::streaming {
namespace {

using boost::asio::awaitable;

const runtime::Logger& logger() {
  return runtime::Logger::of("session");
}

// Where capture's frames go: the stream's pipeline, which a quality change replaces while
// capture runs. Capture's thread reads it, the main loop sets it.
class FrameFeed {
 public:
  void submit(SharedPixelBuffer buffer, protocol::MediaTime time) {
    std::shared_ptr<VideoPipeline> target;
    {
      std::lock_guard lock(mutex_);
      target = pipeline_;
    }
    if (target) target->submit(std::move(buffer), time);
  }
  void set(std::shared_ptr<VideoPipeline> pipeline) {
    std::lock_guard lock(mutex_);
    pipeline_ = std::move(pipeline);
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<VideoPipeline> pipeline_;
};

}  // namespace

// Main loop only.
struct DisplayStreamer::State {
  PipelineFactory makePipeline;
  CaptureFactory makeCapture;
  std::shared_ptr<ScreenCapture> capture;
  std::shared_ptr<VideoPipeline> pipeline;
  StoppedHandler stopped;
  QualityRefusedHandler qualityRefused;
  // Counts stops, so that a start that a stop overtook while it waited can tell.
  std::uint64_t stops = 0;
  // The running stream's: what its pipeline was made with, at its current quality; its sink;
  // where its frames go; the loop it runs on.
  EncoderSettings settings;
  std::shared_ptr<VideoSink> sink;
  std::shared_ptr<FrameFeed> feed;
  boost::asio::any_io_executor loop;
  // The quality asked for last, while a change is under way; one change runs at a time.
  std::optional<VideoQuality> wantedQuality;
  bool changingQuality = false;

  // Keyframe requests of the pipeline ask capture for a picture.
  void askCaptureForKeyframes(VideoPipeline& target);
  static awaitable<void> changeQuality(std::shared_ptr<State> state);
  static awaitable<void> replacePipeline(std::shared_ptr<State> state,
                                         std::shared_ptr<VideoPipeline> made,
                                         EncoderSettings settings);
};

void DisplayStreamer::State::askCaptureForKeyframes(VideoPipeline& target) {
  // A phone that lost its decoder's state asks for a keyframe; on a still screen capture would
  // have nothing to give the encoder, so it is asked for a picture.
  std::weak_ptr<ScreenCapture> weakCapture = capture;
  target.onKeyframeRequest([weakCapture] {
    if (auto c = weakCapture.lock()) c->requestFrame();
  });
}

awaitable<void> DisplayStreamer::State::changeQuality(std::shared_ptr<State> state) {
  while (state->wantedQuality && state->pipeline) {
    EncoderSettings settings = state->settings;
    settings.quality = *std::exchange(state->wantedQuality, std::nullopt);
    const std::uint64_t stops = state->stops;
    // The new encoder opens while the running one goes on, off the loop as a start's does.
    auto make = [makePipeline = state->makePipeline, settings, sink = state->sink]() mutable {
      return makePipeline(settings, std::move(sink));
    };
    std::shared_ptr<VideoPipeline> made;
    try {
      made = co_await runtime::offloadBlocking(std::move(make));
    } catch (const EncoderError& error) {
      logger().error("Quality change failed: %s", error.text().c_str());
      if (state->qualityRefused) state->qualityRefused(state->settings.quality);
    }
    // A stream stopped or started meanwhile is not this change's.
    if (made && state->stops == stops) {
      auto replacing = replacePipeline(state, std::move(made), settings);
      co_await std::move(replacing);
    }
  }
  state->changingQuality = false;
}

awaitable<void> DisplayStreamer::State::replacePipeline(std::shared_ptr<State> state,
                                                        std::shared_ptr<VideoPipeline> made,
                                                        EncoderSettings settings) {
  const std::uint64_t stops = state->stops;
  auto old = std::exchange(state->pipeline, made);
  state->settings = settings;
  state->askCaptureForKeyframes(*made);
  // The old encoder's last frames reach the sink before the new one's first keyframe: the
  // frames captured meanwhile are let go.
  state->feed->set(nullptr);
  co_await old->flush();
  if (state->stops != stops) co_return;
  state->feed->set(std::move(made));
  if (state->capture) state->capture->requestFrame();
  runtime::Logger::of("capture").info("Encoder quality now %s",
                                      std::string(rawValue(settings.quality)).c_str());
}

DisplayStreamer::DisplayStreamer(PipelineFactory makePipeline, CaptureFactory makeCapture)
    : state_(std::make_shared<State>()) {
  state_->makePipeline = std::move(makePipeline);
  state_->makeCapture = std::move(makeCapture);
}

std::unique_ptr<DisplayStreamer> DisplayStreamer::make(VideoEncoderFactory makeEncoder,
                                                       std::shared_ptr<CaptureBackend> backend) {
  auto pipelines = [makeEncoder = std::move(makeEncoder)](const EncoderSettings& settings,
                                                          std::shared_ptr<VideoSink> sink) {
    return VideoPipeline::make(settings, std::move(sink), makeEncoder);
  };
  auto captures = [backend = std::move(backend)](ScreenCapture::FrameHandler onFrame) {
    return std::make_shared<ScreenCapture>(backend, std::move(onFrame));
  };
  return std::make_unique<DisplayStreamer>(std::move(pipelines), std::move(captures));
}

DisplayStreamer::~DisplayStreamer() = default;

awaitable<void> DisplayStreamer::start(EncoderSettings settings, std::shared_ptr<VideoSink> sink,
                                       std::uint32_t display) {
  auto state = state_;
  auto loop = co_await boost::asio::this_coro::executor;
  co_await stop();
  const std::uint64_t stops = state->stops;

  // Opening an encoder allocates its pictures and starts its threads: several milliseconds for
  // libx264 at a phone's size, more for libx265, which the loop does not wait through.
  auto make = [makePipeline = state->makePipeline, settings, sink]() mutable {
    return makePipeline(settings, std::move(sink));
  };
  std::shared_ptr<VideoPipeline> pipeline;
  try {
    pipeline = co_await runtime::offloadBlocking(std::move(make));
  } catch (const EncoderError& error) {
    throw StreamError::encoder(error);
  }
  // The handler holds the feed: frames keep flowing into its pipeline for as long as capture runs.
  auto feed = std::make_shared<FrameFeed>();
  feed->set(pipeline);
  auto capture = state->makeCapture([feed](SharedPixelBuffer buffer, protocol::MediaTime time) {
    feed->submit(std::move(buffer), time);
  });
  std::weak_ptr<State> weakState = state;
  std::weak_ptr<ScreenCapture> weakCapture = capture;
  capture->onStopped([weakState, weakCapture](const CaptureError& error) {
    auto s = weakState.lock();
    if (!s || s->capture != weakCapture.lock() || !s->stopped) return;
    s->stopped(StreamError::capture(error));
  });
  const CaptureTarget target = CaptureTarget::display(display);
  try {
    co_await capture->start(target, double(settings.width), double(settings.height));
  } catch (const CaptureError& error) {
    throw StreamError::capture(error);
  }
  // A stop (or another start) came while capture started: what this start made must not run on
  // after it.
  if (state->stops != stops) {
    co_await capture->stop();
    co_await pipeline->flush();
    throw StreamError::capture(CaptureError::streamFailed("stream stopped while starting"));
  }
  state->capture = std::move(capture);
  state->askCaptureForKeyframes(*pipeline);
  state->pipeline = std::move(pipeline);
  state->settings = settings;
  state->sink = std::move(sink);
  state->feed = std::move(feed);
  state->loop = std::move(loop);
  state->wantedQuality.reset();
}

awaitable<void> DisplayStreamer::stop() {
  auto state = state_;
  ++state->stops;
  auto capture = state->capture;
  auto pipeline = state->pipeline;
  if (capture) co_await capture->stop();
  if (pipeline) co_await pipeline->flush();
  // Only what this stop found: a start that ran meanwhile keeps its own.
  if (state->capture == capture) state->capture.reset();
  if (state->pipeline == pipeline) state->pipeline.reset();
}

void DisplayStreamer::setQuality(VideoQuality quality) {
  auto& state = *state_;
  if (!state.pipeline) return;
  state.wantedQuality = quality;
  if (std::exchange(state.changingQuality, true)) return;
  auto done = [state = state_](const std::exception_ptr& failure) {
    if (!failure) return;
    state->changingQuality = false;
    runtime::logTaskFailure(failure);
  };
  runtime::spawn(state.loop, State::changeQuality(state_), std::move(done));
}

std::shared_ptr<VideoPipeline> DisplayStreamer::pipeline() const {
  return state_->pipeline;
}

std::shared_ptr<ScreenCapture> DisplayStreamer::capture() const {
  return state_->capture;
}

std::optional<VideoQuality> DisplayStreamer::quality() const {
  if (!state_->pipeline) return std::nullopt;
  return state_->settings.quality;
}

void DisplayStreamer::onStopped(StoppedHandler handler) {
  state_->stopped = std::move(handler);
}

void DisplayStreamer::onQualityRefused(QualityRefusedHandler handler) {
  state_->qualityRefused = std::move(handler);
}

}  // namespace brindlet::streaming
