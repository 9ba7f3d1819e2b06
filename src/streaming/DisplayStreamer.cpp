#include "streaming/DisplayStreamer.h"

#include "runtime/Blocking.h"
#include "runtime/Log.h"

namespace brindlet::streaming {
namespace {

using boost::asio::awaitable;

const runtime::Logger& logger() {
  return runtime::Logger::of("session");
}

}  // namespace

// Main loop only.
struct DisplayStreamer::State {
  PipelineFactory makePipeline;
  CaptureFactory makeCapture;
  std::shared_ptr<ScreenCapture> capture;
  std::shared_ptr<VideoPipeline> pipeline;
  StoppedHandler stopped;
  // Counts stops, so that a start that a stop overtook while it waited can tell.
  std::uint64_t stops = 0;
};

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
  co_await stop();
  const std::uint64_t stops = state->stops;

  // Opening an encoder allocates its pictures and starts its threads: several milliseconds for
  // libx264 at a phone's size, more for libx265, which the loop does not wait through.
  auto make = [makePipeline = state->makePipeline, settings, sink = std::move(sink)]() mutable {
    return makePipeline(settings, std::move(sink));
  };
  std::shared_ptr<VideoPipeline> pipeline;
  try {
    pipeline = co_await runtime::offloadBlocking(std::move(make));
  } catch (const EncoderError& error) {
    throw StreamError::encoder(error);
  }
  // The handler holds the pipeline: frames keep flowing into it for as long as capture runs.
  auto capture = state->makeCapture([pipeline](SharedPixelBuffer buffer, protocol::MediaTime time) {
    pipeline->submit(std::move(buffer), time);
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
  // A phone that lost its decoder's state asks for a keyframe; on a still screen capture would
  // have nothing to give the encoder, so it is asked for a picture.
  pipeline->onKeyframeRequest([weakCapture] {
    if (auto c = weakCapture.lock()) c->requestFrame();
  });
  state->capture = std::move(capture);
  state->pipeline = std::move(pipeline);
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
  if (!state_->pipeline) return;
  try {
    state_->pipeline->setQuality(quality);
  } catch (const EncoderError& error) {
    logger().error("Quality change failed: %s", error.text().c_str());
  }
}

std::shared_ptr<VideoPipeline> DisplayStreamer::pipeline() const {
  return state_->pipeline;
}

std::shared_ptr<ScreenCapture> DisplayStreamer::capture() const {
  return state_->capture;
}

void DisplayStreamer::onStopped(StoppedHandler handler) {
  state_->stopped = std::move(handler);
}

}  // namespace brindlet::streaming
